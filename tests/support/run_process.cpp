#include "support/run_process.hpp"

#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>

#include "platform/io.hpp"
#include "platform/spawn.hpp"

namespace bramvelt::testing {

ProcessResult run_process(const std::string& program, const std::vector<std::string>& args,
                          const RunOptions& options) {
    platform::SpawnOptions spawn_options;
    spawn_options.program = program;
    spawn_options.args = args;
    spawn_options.environment = options.environment;
    spawn_options.in = platform::Stdio::pipe();
    spawn_options.out = platform::Stdio::pipe();
    spawn_options.err = platform::Stdio::pipe();
    std::string old_cwd;
    if (!options.cwd.empty()) {
        char buf[4096];
        old_cwd = ::getcwd(buf, sizeof buf) ? buf : "/";
        if (::chdir(options.cwd.c_str()) != 0) throw std::runtime_error("chdir failed");
    }
    auto child = platform::spawn(spawn_options);
    if (!old_cwd.empty() && ::chdir(old_cwd.c_str()) != 0) throw std::runtime_error("chdir failed");
    if (!child) {
        throw std::runtime_error("spawn failed: " + program);
    }
    ProcessResult result;
    std::string_view input = options.input;
    if (input.empty()) child->stdin_pipe().reset();
    while (child->stdout_pipe() || child->stderr_pipe()) {
        std::vector<pollfd> fds;
        if (child->stdin_pipe()) fds.push_back({child->stdin_pipe().get(), POLLOUT, 0});
        if (child->stdout_pipe()) fds.push_back({child->stdout_pipe().get(), POLLIN, 0});
        if (child->stderr_pipe()) fds.push_back({child->stderr_pipe().get(), POLLIN, 0});
        if (platform::retry_on_eintr([&] { return ::poll(fds.data(), fds.size(), -1); }) < 0) {
            break;
        }
        for (const auto& p : fds) {
            if (p.revents == 0) continue;
            if (child->stdin_pipe() && p.fd == child->stdin_pipe().get()) {
                const ssize_t n = platform::retry_on_eintr(
                    [&] { return ::write(p.fd, input.data(), input.size()); });
                if (n <= 0) {
                    child->stdin_pipe().reset();
                } else {
                    input.remove_prefix(static_cast<size_t>(n));
                    if (input.empty()) child->stdin_pipe().reset();
                }
                continue;
            }
            const bool is_out = child->stdout_pipe() && p.fd == child->stdout_pipe().get();
            char buffer[65536];
            const auto n = platform::read_some(p.fd, buffer);
            if (!n || *n == 0) {
                (is_out ? child->stdout_pipe() : child->stderr_pipe()).reset();
            } else {
                (is_out ? result.out : result.err).append(buffer, *n);
            }
        }
    }
    auto status = child->wait();
    if (status) {
        if (auto code = status->code()) {
            result.status = *code;
        } else if (auto sig = status->signal()) {
            result.status = 128 + *sig;
        }
    }
    return result;
}

ProcessResult run_bramvelt(const std::vector<std::string>& args, const RunOptions& options) {
    return run_process(BRAMVELT_BINARY, args, options);
}

}  // namespace bramvelt::testing
