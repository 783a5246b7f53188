// Starts another program and waits for it to end while the user interface keeps running.
#include "core/shell_and_wait.h"

#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

extern char** environ;

namespace brenvale {

namespace {

// Short enough that the window feels live, long enough not to spin a core while waiting.
constexpr std::chrono::milliseconds kPollPause{20};

} // namespace

bool ShellAndWait(const std::string& program, const std::vector<std::string>& arguments,
                  Yielder& yielder, std::string& failure) {
    failure.clear();
    if (program.empty()) {
        failure = "no program was named";
        return false;
    }
    std::vector<std::string> words;
    words.reserve(arguments.size() + 1);
    words.push_back(program);
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    argv.reserve(words.size() + 1);
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);

    pid_t pid = 0;
    // glibc's posix_spawnp reports a failed exec (missing file, no permission) as its result.
    const int started =
        ::posix_spawnp(&pid, program.c_str(), nullptr, nullptr, argv.data(), environ);
    if (started != 0) {
        failure = std::strerror(started);
        return false;
    }
    for (;;) {
        int status = 0;
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid || (done < 0 && errno != EINTR))
            return true;
        yielder.Yield();
        std::this_thread::sleep_for(kPollPause);
    }
}

} // namespace brenvale
