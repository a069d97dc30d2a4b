#include "engine/engine_shared_factory.hpp"

#include <exception>
#include <new>

#include "ws/runtime.hpp"
#include "py/errors.hpp"
#include "ws/engine_shared.hpp"

namespace pen::py {

std::shared_ptr<ws::EngineShared> make_engine_shared(std::uint32_t start_seq) {
  try {
    return std::make_shared<ws::EngineShared>(runtime::next_engine_executor(), start_seq);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    raise_panic(e.what());
  }
  return nullptr;
}

}  // namespace pen::py
