// EngineBatch: one call on each of a fixed group of engines, all requests out before any reply
// is awaited, the replies taken as they come.
//
// Driven from one thread, the caller's, without an executor. Each call goes the way the same
// call started alone would (begin_call): numbered, framed and checked alike, with the same
// deadline and the same closing of a connection after a transport failure. A call whose
// engine is idle is held by the calling thread, which sends it and reads its reply itself,
// polling the sockets of all such calls together. A call whose engine is busy (another call
// of it in progress) is handed over whole to the engine's worker, queued behind that call, and
// its outcome comes back through the batch's mailbox. Not thread-safe: one thread at a time.
#pragma once

#include <poll.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "call/engine_shared.hpp"
#include "call/rpc.hpp"
#include "codec/bytes.hpp"
#include "codec/result.hpp"
#include "codec/timeout.hpp"

namespace pen::call {

class EngineBatch {
 public:
  using Clock = std::chrono::steady_clock;

  // A settled call: the engine's index and the outcome, or `panicked` when the worker's part
  // of it failed with an exception (the outcome is then an error without meaning).
  struct Settled {
    std::size_t index = 0;
    Result<Bytes> outcome;
    bool panicked = false;
  };

  explicit EngineBatch(std::vector<std::shared_ptr<EngineShared>> engines);
  // Calls still held go to their engines' workers, which finish them (their outcomes dropped),
  // so that no connection stays held and no reply stays unread.
  ~EngineBatch();
  EngineBatch(const EngineBatch&) = delete;
  EngineBatch& operator=(const EngineBatch&) = delete;

  std::size_t size() const { return slots_.size(); }
  // Sent and not yet returned by recv (settled ones waiting to be taken included).
  bool outstanding(std::size_t index) const { return slots_[index].outstanding; }
  std::size_t outstanding_count() const { return outstanding_; }

  // Starts a call of `fn_id` on engine `index`, which must not be outstanding. Returns
  // without waiting; a call settled at once (nothing connected) waits in the batch.
  void send(std::size_t index, std::uint16_t fn_id, Bytes payload, const Timeout& timeout);

  // Drives the outstanding calls until at least `min_ready` have settled (all outstanding
  // ones when fewer are) or `until` passes, and returns every settled call not yet returned,
  // in the order they settled. Settled calls can be fewer than `min_ready` only when `until`
  // passed first.
  std::vector<Settled> recv(std::size_t min_ready, Clock::time_point until);

 private:
  struct Mailbox;
  struct Slot {
    std::shared_ptr<EngineShared> engine;
    std::optional<HeldCall> held;
    bool outstanding = false;
    bool ready = true;  // held: its socket may let the call go further
  };

  void settle(std::size_t index, Result<Bytes> outcome, bool panicked = false);
  void take_mail();
  void drive_held();
  void wait_ready(Clock::time_point until);

  std::vector<Slot> slots_;
  std::size_t outstanding_ = 0;
  std::size_t on_workers_ = 0;
  std::vector<Settled> settled_;
  std::shared_ptr<Mailbox> mailbox_;
  std::vector<pollfd> fds_;           // wait_ready's, kept to reuse their memory
  std::vector<std::size_t> waiting_;  // the slot of each held call's entry in fds_
};

}  // namespace pen::call
