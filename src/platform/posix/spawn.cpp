#include "platform/spawn.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

extern char** environ;

namespace bw::platform {
namespace {

int ExitCodeFromStatus(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

}  // namespace

ChildProcess::~ChildProcess() {
    if (exitCode_.has_value() || pid_ <= 0) return;
    const ProcessId pid = pid_;
    std::thread([pid] {
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }).detach();
}

std::optional<int> ChildProcess::Wait(int timeoutMs) {
    if (exitCode_.has_value() || pid_ <= 0) return exitCode_;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int status = 0;
        const pid_t done = ::waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            exitCode_ = ExitCodeFromStatus(status);
            return exitCode_;
        }
        if (done < 0 && errno != EINTR) {
            // Someone else collected it; all we can say is that it ended.
            exitCode_ = -1;
            return exitCode_;
        }
        if (timeoutMs >= 0 && std::chrono::steady_clock::now() >= end) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

void ChildProcess::Kill() {
    if (exitCode_.has_value() || pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    Wait(-1);
}

std::vector<std::string> SplitCommandLine(std::string_view line) {
    std::vector<std::string> arguments;
    size_t i = 0;
    const auto isSpace = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
    for (;;) {
        while (i < line.size() && isSpace(line[i]))
            ++i;
        if (i >= line.size()) break;
        std::string argument;
        bool quoted = false;
        while (i < line.size() && (quoted || !isSpace(line[i]))) {
            if (line[i] == '\\') {
                size_t count = 0;
                while (i < line.size() && line[i] == '\\') {
                    ++count;
                    ++i;
                }
                if (i < line.size() && line[i] == '"') {
                    argument.append(count / 2, '\\');
                    if (count % 2 == 1) {
                        argument.push_back('"');
                        ++i;
                    }
                } else {
                    argument.append(count, '\\');
                }
            } else if (line[i] == '"') {
                // Inside quotes, a doubled quote is one literal quote.
                if (quoted && i + 1 < line.size() && line[i + 1] == '"') {
                    argument.push_back('"');
                    i += 2;
                } else {
                    quoted = !quoted;
                    ++i;
                }
            } else {
                argument.push_back(line[i++]);
            }
        }
        arguments.push_back(std::move(argument));
    }
    return arguments;
}

std::unique_ptr<ChildProcess> StartHidden(const std::string& program, std::string_view commandLine,
                                          std::string& error) {
    return StartHidden(program, SplitCommandLine(commandLine), error);
}

std::unique_ptr<ChildProcess> StartHidden(const std::string& program,
                                          const std::vector<std::string>& arguments,
                                          std::string& error) {
    if (program.empty()) {
        error = "no program given";
        return nullptr;
    }
    std::vector<std::string> words;
    words.reserve(arguments.size() + 1);
    words.push_back(program);
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    // Its own session: no controlling terminal, and the terminal's Ctrl-C does not reach it.
    // Signals we ignore or block are not passed on.
    sigset_t none;
    sigemptyset(&none);
    sigset_t all;
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setflags(&attributes,
                             POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    pid_t pid = 0;
    const int result =
        ::posix_spawn(&pid, program.c_str(), &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (result != 0) {
        error = "cannot start " + program + ": " + std::strerror(result);
        return nullptr;
    }
    return std::make_unique<ChildProcess>(pid);
}

}  // namespace bw::platform
