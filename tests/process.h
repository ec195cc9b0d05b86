#pragma once

// Runs a program as a child process with its standard streams captured (POSIX only: the
// tests run here).

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace vrel::test {

struct Finished {
    int status = -1; // exit status, or -1 when the program did not exit by itself
    int signal = 0;
    std::string out, err;
};

// Runs argv[0] (a path) with the arguments, feeding input to its standard input. prepare, where
// given, runs in the child before the program starts (limits, signals).
inline Finished RunProgram(const std::vector<std::string>& argv, const std::string& input = "",
                           const std::function<void()>& prepare = {}) {
    int in[2], out[2], err[2];
    if (pipe(in) != 0 || pipe(out) != 0 || pipe(err) != 0) {
        return {};
    }
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) {
            close(fd);
        }
        if (prepare) {
            prepare();
        }
        std::vector<char*> args;
        for (const std::string& a : argv) {
            args.push_back(const_cast<char*>(a.c_str()));
        }
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    Finished f;
    size_t written = 0;
    int to_child = in[1];
    if (input.empty()) {
        close(to_child);
        to_child = -1;
    }
    bool out_open = true, err_open = true;
    while (out_open || err_open) {
        pollfd fds[3] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}, {to_child, POLLOUT, 0}};
        if (poll(fds, to_child >= 0 ? 3 : 2, 60000) <= 0) {
            break;
        }
        char buffer[65536];
        for (int i = 0; i < 2; ++i) {
            if (fds[i].revents & (POLLIN | POLLHUP)) {
                const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
                if (n > 0) {
                    (i == 0 ? f.out : f.err).append(buffer, static_cast<size_t>(n));
                } else {
                    (i == 0 ? out_open : err_open) = false;
                }
            }
        }
        if (to_child >= 0 && (fds[2].revents & (POLLOUT | POLLERR | POLLHUP))) {
            const ssize_t n = write(to_child, input.data() + written, input.size() - written);
            written += n > 0 ? static_cast<size_t>(n) : 0;
            if (n < 0 || written == input.size()) {
                close(to_child);
                to_child = -1;
            }
        }
    }
    if (to_child >= 0) {
        close(to_child);
    }
    close(out[0]);
    close(err[0]);
    int raw = 0;
    waitpid(pid, &raw, 0);
    if (WIFEXITED(raw)) {
        f.status = WEXITSTATUS(raw);
    } else if (WIFSIGNALED(raw)) {
        f.signal = WTERMSIG(raw);
    }
    return f;
}

} // namespace vrel::test
