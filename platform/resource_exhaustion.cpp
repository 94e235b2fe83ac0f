#include "platform/resource_exhaustion.hpp"

#include <cerrno>
#include <new>
#include <system_error>

namespace bramvelt::platform {
namespace {

constexpr std::string_view kUnexpectedFailure = "unexpected internal failure";

}  // namespace

std::string_view resource_exhaustion_text(const std::exception_ptr& error) noexcept {
    if (!error) return {};
    try {
        std::rethrow_exception(error);
    } catch (const std::bad_alloc&) {
        return kOutOfMemory;
    } catch (const std::system_error& e) {
        // std::thread reports a start it could not make as EAGAIN, and an allocation the
        // system refused as ENOMEM.
        if (e.code() == std::errc::resource_unavailable_try_again) return kOutOfThreadResources;
        if (e.code() == std::errc::not_enough_memory) return kOutOfMemory;
    } catch (...) {  // NOLINT(bugprone-empty-catch): any other failure is not this one
    }
    return {};
}

std::string_view exception_text(const std::exception_ptr& error) noexcept {
    if (const std::string_view text = resource_exhaustion_text(error); !text.empty()) return text;
    try {
        if (error) std::rethrow_exception(error);
    } catch (const std::exception& e) {
        // what() lives as long as the exception object, which `error` holds.
        return e.what();
    } catch (...) {  // NOLINT(bugprone-empty-catch): told below
    }
    return kUnexpectedFailure;
}

}  // namespace bramvelt::platform
