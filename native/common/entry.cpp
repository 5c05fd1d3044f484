#include "entry.hpp"

#include "messages.hpp"

#include <exception>
#include <new>

namespace vt {

void set_error_from_exception() noexcept {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        raise::internal_error(e.what());
    } catch (...) {
        raise::internal_error("unknown exception");
    }
}

}  // namespace vt
