// vorl-dnc as the tests run it: a child process whose exit status and
// standard output are waited for with a deadline.
#pragma once

#include "temp_dir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <functional>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace vorl::test {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// vorl-dnc as a child process: stdout to a pipe whose hang-up tells its end,
// stderr to a file (not a terminal: a line per status).
class Dnc {
public:
    // `wrapper`: a command that runs vorl-dnc (its path and `args` follow it).
    Dnc(const std::vector<std::string>& args, const std::string& errPath, const std::string& port,
        const std::vector<std::string>& wrapper = {}) {
        std::vector<std::string> all = wrapper;
        all.push_back(VORL_DNC_PATH);
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& a : all) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        std::vector<std::string> env;
        for (char** e = environ; *e != nullptr; ++e) {
            if (std::string(*e).rfind("VORL_COM7=", 0) != 0) {
                env.emplace_back(*e);
            }
        }
        env.push_back("VORL_COM7=" + port);
        std::vector<char*> envp;
        for (auto& e : env) {
            envp.push_back(e.data());
        }
        envp.push_back(nullptr);
        int out[2];
        EXPECT_EQ(::pipe2(out, O_CLOEXEC), 0);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        EXPECT_EQ(posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data()), 0);
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        out_ = out[0];
    }
    ~Dnc() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        ::close(out_);
    }
    void signal(int sig) { ::kill(pid_, sig); }
    std::string output; // standard output, as wait() has read it
    // The exit status, or -1 when it had not ended by the deadline (then it
    // is killed).
    int wait(std::chrono::milliseconds deadline = 20s) {
        const auto until = Clock::now() + deadline;
        for (;;) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
            if (left <= 0ms) {
                return -1;
            }
            pollfd p{out_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(std::min<long long>(left.count(), 100))) > 0) {
                char buf[256];
                const ssize_t n = ::read(out_, buf, sizeof buf);
                if (n > 0) {
                    output.append(buf, static_cast<size_t>(n));
                } else {
                    ::waitpid(pid_, &status, 0); // stdout closed: it is ending
                    pid_ = -1;
                    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                }
            }
        }
    }

private:
    pid_t pid_ = -1;
    int out_ = -1;
};

// `git -C repository args...` as an outside reader of the history: its
// standard output, and its exit status in `status`.
inline std::string Git(const std::string& repository, const std::string& args,
                       int* status = nullptr) {
    return CommandOutput("git -C '" + repository + "' " + args, status);
}

// Runs until `done` holds or the deadline passes; whether it held.
inline bool eventually(const std::function<bool()>& done,
                       std::chrono::milliseconds deadline = 20s) {
    const auto until = Clock::now() + deadline;
    while (!done()) {
        if (Clock::now() >= until) {
            return false;
        }
        ::poll(nullptr, 0, 20); // looks again shortly: files have no notice to wait for
    }
    return true;
}

} // namespace vorl::test
