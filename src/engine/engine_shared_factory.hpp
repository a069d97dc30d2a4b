// Creation of an engine's shared state, kept apart from the Python type so that the type does
// not depend on the transport's headers.
#pragma once

#include <cstdint>
#include <memory>

namespace pen::ws {
struct EngineShared;
}

namespace pen::py {

// A new EngineShared on the next worker of the process runtime (no thread is started).
// Needs the GIL; nullptr with MemoryError or PanicException set on failure.
std::shared_ptr<ws::EngineShared> make_engine_shared(std::uint32_t start_seq);

}  // namespace pen::py
