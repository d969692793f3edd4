#pragma once
// A private kelvra-serverd for one bench run: its own settings file and its
// own folder for the login log and the mail file, so a run never touches the
// operator's settings, and nothing is left behind.
#include <string>

namespace kelvra {

class TSpawnedServer {
public:
    TSpawnedServer() = default;
    ~TSpawnedServer();
    TSpawnedServer(const TSpawnedServer&) = delete;
    TSpawnedServer& operator=(const TSpawnedServer&) = delete;

    // Starts the server on a free port and waits for its "listening on" line.
    // With tls, also on a free TLS port with a throwaway certificate made in
    // its folder; with web, also on a free web port (HTTPS with tls). False
    // with Error() on failure.
    bool Start(const std::string& executable, double timeoutSeconds, bool tls = false,
               bool web = false);
    // SIGTERM, then waits; SIGKILL when it does not end in time. Returns the
    // exit code, or 128 + signal number when a signal ended it, -1 if unknown.
    int Stop(double timeoutSeconds);

    int Pid() const { return ChildPid; }
    int Port() const { return ListenPort; }
    int TlsPort() const { return ListenTlsPort; }
    int WebPort() const { return ListenWebPort; }
    const std::string& Error() const { return Message; }

    // build/bin/kelvra-serverd beside the running executable.
    static std::string FindBesideSelf(const std::string& name);

private:
    void RemoveFolder();

    int ChildPid = -1;
    int OutputFd = -1;
    int ListenPort = 0;
    int ListenTlsPort = 0;
    int ListenWebPort = 0;
    std::string Folder;
    std::string Message;
};

} // namespace kelvra
