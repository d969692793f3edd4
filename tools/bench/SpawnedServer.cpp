#include "SpawnedServer.h"

#include "SelfSignedCertificate.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace kelvra {

namespace {

int ExitCodeOf(int status) {
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return -1;
}

} // namespace

TSpawnedServer::~TSpawnedServer() {
    if (ChildPid > 0)
        Stop(10);
    RemoveFolder();
}

std::string TSpawnedServer::FindBesideSelf(const std::string& name) {
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0)
        return name;
    self[n] = 0;
    std::string path(self);
    const size_t slash = path.rfind('/');
    return (slash == std::string::npos ? std::string(".") : path.substr(0, slash)) + "/" + name;
}

void TSpawnedServer::RemoveFolder() {
    if (Folder.empty())
        return;
    // The folder is ours alone: the settings, the login log, the mail file and
    // whatever the settings store left beside them (lock or temporary files).
    if (DIR* dir = opendir(Folder.c_str())) {
        while (dirent* entry = readdir(dir))
            if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
                unlink((Folder + "/" + entry->d_name).c_str());
        closedir(dir);
    }
    rmdir(Folder.c_str());
    Folder.clear();
}

bool TSpawnedServer::Start(const std::string& executable, double timeoutSeconds, bool tls,
                           bool web) {
    if (access(executable.c_str(), X_OK) != 0) {
        Message = "cannot run " + executable + ": " + std::strerror(errno);
        return false;
    }
    char folder[] = "/tmp/kelvra-bench-XXXXXX";
    if (!mkdtemp(folder)) {
        Message = std::string("cannot make a temporary folder: ") + std::strerror(errno);
        return false;
    }
    Folder = folder;
    const std::string settings = Folder + "/settings.ini";
    {
        std::ofstream out(settings);
        // The scenarios measure the relay's capacity: their senders relay far
        // more than a person does, so the fan-out budget must not pace them.
        out << "[General]\nLogfile=" << Folder << "/klog.dat\nMailfile=" << Folder
            << "/kmail.dat\n[Limits]\nFanOutPerSecond=1073741824\n";
        if (!out) {
            Message = "cannot write " + settings;
            return false;
        }
    }

    // Quiet: a journal line per connection would be the bench's cost, not the server's.
    std::vector<std::string> args = {executable, "--nick",     "benchserver", "--port",    "0",
                                     "--quiet",  "--settings", settings,      "--control", "none"};
    if (tls) {
        TCertificateFiles cert;
        if (!MakeSelfSignedCertificate(QString::fromStdString(Folder), QStringLiteral("bench"),
                                       QStringLiteral("localhost"), cert)) {
            Message = "cannot make a certificate for the TLS port";
            return false;
        }
        for (const std::string& arg :
             {std::string("--tls-port"), std::string("0"), std::string("--tls-cert"),
              cert.CertificatePath.toStdString(), std::string("--tls-key"),
              cert.KeyPath.toStdString()})
            args.push_back(arg);
    }
    if (web) {
        args.push_back("--web-port");
        args.push_back("0");
    }
    std::vector<const char*> argv;
    for (const std::string& arg : args)
        argv.push_back(arg.c_str());
    argv.push_back(nullptr);

    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) {
        Message = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    const pid_t pid = fork();
    if (pid < 0) {
        Message = std::string("fork: ") + std::strerror(errno);
        close(pipeFds[0]);
        close(pipeFds[1]);
        return false;
    }
    if (pid == 0) {
        dup2(pipeFds[1], STDOUT_FILENO);
        execv(executable.c_str(), const_cast<char* const*>(argv.data()));
        _exit(127);
    }
    close(pipeFds[1]);
    ChildPid = pid;
    OutputFd = pipeFds[0];

    // The line the server prints once it listens, and one for each other port.
    const size_t linesWanted = 1 + (tls ? 1 : 0) + (web ? 1 : 0);
    auto lineCount = [](const std::string& text) {
        return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
    };
    std::string line;
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::milliseconds(static_cast<int64_t>(timeoutSeconds * 1000));
    while (lineCount(line) < linesWanted) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0) {
            Message = "kelvra-serverd did not report listening in time";
            return false;
        }
        pollfd p{OutputFd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left)) < 0 && errno != EINTR) {
            Message = std::string("poll: ") + std::strerror(errno);
            return false;
        }
        char chunk[256];
        const ssize_t n = read(OutputFd, chunk, sizeof chunk);
        if (n == 0) {
            int status = 0;
            waitpid(ChildPid, &status, 0);
            ChildPid = -1;
            Message = "kelvra-serverd ended before listening (exit code " +
                      std::to_string(ExitCodeOf(status)) + ")";
            return false;
        }
        if (n > 0)
            line.append(chunk, static_cast<size_t>(n));
    }
    // "listening on A:P", "listening (TLS) on A:P", "web page on http://A:P/".
    size_t at = 0;
    for (size_t i = 0; i < linesWanted; ++i) {
        const size_t end = line.find('\n', at);
        const std::string one = line.substr(at, end - at);
        at = end + 1;
        const size_t colon = one.rfind(':');
        const int port = colon == std::string::npos ? 0 : std::atoi(one.c_str() + colon + 1);
        int* slot = one.rfind("listening on ", 0) == 0         ? &ListenPort
                    : one.rfind("listening (TLS) on ", 0) == 0 ? &ListenTlsPort
                    : one.rfind("web page on ", 0) == 0        ? &ListenWebPort
                                                               : nullptr;
        if (!slot || port <= 0) {
            Message = "unexpected output from kelvra-serverd: " + one;
            return false;
        }
        *slot = port;
    }
    return ListenPort > 0 && (!tls || ListenTlsPort > 0) && (!web || ListenWebPort > 0);
}

int TSpawnedServer::Stop(double timeoutSeconds) {
    if (ChildPid <= 0)
        return -1;
    kill(ChildPid, SIGTERM);
    int status = 0;
    int code = -1;
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::milliseconds(static_cast<int64_t>(timeoutSeconds * 1000));
    for (;;) {
        const pid_t done = waitpid(ChildPid, &status, WNOHANG);
        if (done == ChildPid) {
            code = ExitCodeOf(status);
            break;
        }
        if (done < 0 && errno != EINTR)
            break;
        if (std::chrono::steady_clock::now() >= deadline) {
            kill(ChildPid, SIGKILL);
            if (waitpid(ChildPid, &status, 0) == ChildPid)
                code = ExitCodeOf(status);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ChildPid = -1;
    if (OutputFd >= 0) {
        close(OutputFd);
        OutputFd = -1;
    }
    return code;
}

} // namespace kelvra
