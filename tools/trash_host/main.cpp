// bramvelt-trash-host: moves one entry into the freedesktop.org Trash. The program starts
// it beside itself with a JSON request on standard input; exit status 0 means the entry
// is in the trash, anything else that it was not moved (or that the move went wrong
// after the rename, which the program then finds out for itself).

#include <cstdlib>
#include <string>

#include "platform/io.hpp"
#include "platform/signals.hpp"
#include "platform/user_db.hpp"
#include "tools/trash_host/move_to_trash.hpp"
#include "tools/trash_host/request.hpp"
#include "tools/trash_host/texts.hpp"

namespace {

using namespace bramvelt;

std::string environment_value(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

int fail(std::string_view text) {
    (void)platform::write_all(2, std::string(text) + "\n");
    return 1;
}

}  // namespace

int main() {
    platform::ignore_sigpipe();
    // One byte past the limit tells an oversized request from one that just fits.
    const auto input = platform::read_all(0, trash_host::kMaxRequestBytes + 1);
    if (!input) return fail(trash_host::kInvalidRequest);
    const auto request = trash_host::parse_trash_request(*input);
    if (!request) return fail(request.error());
    const trash_host::TrashEnvironment environment{
        environment_value("HOME"), environment_value("XDG_DATA_HOME"), platform::real_user_id()};
    const auto moved = trash_host::move_to_trash(*request, environment);
    if (!moved) return fail(moved.error());
    return 0;
}
