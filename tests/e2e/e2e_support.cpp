#include "e2e_support.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "TestEnv.h"

extern char** environ;

namespace e2e {
namespace {
int g_counter = 0;
}

std::string programPath() { return testenv::appDir() + "mp3tunewright"; }

Process start(const std::string& program, const std::vector<std::string>& args,
              const Options& options) {
    Process p;
    int n = ++g_counter;
    p.outPath = testenv::root() + "proc-" + std::to_string(getpid()) + "-" + std::to_string(n) + ".out";
    p.errPath = testenv::root() + "proc-" + std::to_string(getpid()) + "-" + std::to_string(n) + ".err";

    std::map<std::string, std::string> env;
    for (char** e = environ; *e; ++e) {
        std::string kv = *e;
        size_t eq = kv.find('=');
        if (eq != std::string::npos) {
            env[kv.substr(0, eq)] = kv.substr(eq + 1);
        }
    }
    env["TUNEWRIGHT_UNATTENDED"] = "1";
    env["QT_QPA_PLATFORM"] = "offscreen";
    for (const auto& [k, v] : options.env) {
        env[k] = v;
    }
    std::vector<std::string> envStrings;
    for (const auto& [k, v] : env) {
        envStrings.push_back(k + "=" + v);
    }
    std::vector<char*> envp;
    for (auto& s : envStrings) {
        envp.push_back(s.data());
    }
    envp.push_back(nullptr);
    std::vector<std::string> argStrings{program};
    argStrings.insert(argStrings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& s : argStrings) {
        argv.push_back(s.data());
    }
    argv.push_back(nullptr);

    pid_t pid = fork();
    if (pid == 0) {
        int out = ::open(p.outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int err = ::open(p.errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int in = ::open("/dev/null", O_RDONLY);
        if (out >= 0) dup2(out, 1);
        if (err >= 0) dup2(err, 2);
        if (in >= 0) dup2(in, 0);
        if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) {
            _exit(127);
        }
        execve(program.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    p.pid = pid;
    return p;
}

int wait(Process& process, int timeoutMs) {
    if (process.pid <= 0) {
        return -1;
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int status = 0;
        pid_t r = waitpid(process.pid, &status, WNOHANG);
        if (r == process.pid) {
            process.pid = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        if (r < 0 && errno != EINTR) {
            process.pid = -1;
            return -1;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            kill(process.pid, SIGKILL);
            waitpid(process.pid, &status, 0);
            process.pid = -1;
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

int run(const std::string& program, const std::vector<std::string>& args, int timeoutMs,
        const Options& options) {
    Process p = start(program, args, options);
    return wait(p, timeoutMs);
}

std::string output(const Process& process) { return testenv::readFile(process.outPath); }
std::string errors(const Process& process) { return testenv::readFile(process.errPath); }

bool waitFor(const std::function<bool()>& done, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

std::vector<std::string> linesStartingWith(const std::string& text,
                                           const std::vector<std::string>& prefixes) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        for (const std::string& p : prefixes) {
            if (line.rfind(p, 0) == 0) {
                lines.push_back(line);
            }
        }
    }
    return lines;
}

bool waitForOutput(const Process& process, const std::string& line, int timeoutMs) {
    return waitFor([&] { return output(process).find(line + "\n") != std::string::npos; },
                   timeoutMs);
}

}  // namespace e2e
