#include "support/mqtt_broker.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

extern char** environ;

namespace {

constexpr auto DEADLINE = std::chrono::seconds(20);

sockaddr_in Loopback(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    return a;
}

// A port nobody uses now, below the kernel's range of ephemeral ports: while a broker of a test
// is stopped, its port must not go to a connection or to the broker of another test, which a
// port the kernel hands out could (a test asking the kernel for a free port gets it back).
int FreePort() {
    std::random_device random;
    std::uniform_int_distribution<int> pick(20000, 31999);
    for (int attempt = 0; attempt < 100; ++attempt) {
        const int port = pick(random);
        const int s = socket(AF_INET, SOCK_STREAM, 0);
        const sockaddr_in a = Loopback(port);
        const bool free = bind(s, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
        close(s);
        if (free) {
            return port;
        }
    }
    return 0;
}

std::string CurrentUser() {
    const passwd* user = getpwuid(geteuid());
    return user != nullptr && user->pw_name != nullptr ? user->pw_name : "root";
}

bool Accepts(int port) {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in a = Loopback(port);
    const bool ok = connect(s, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
    close(s);
    return ok;
}

// Starts a program with its output (both streams) into `out`; -1 when it did not start.
pid_t Spawn(const std::vector<std::string>& args, const std::string& out) {
    std::vector<char*> argv;
    for (const std::string& a : args) {
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid = -1;
    if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
        pid = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

void End(pid_t& pid) {
    if (pid > 0) {
        kill(pid, SIGTERM);
        int status = 0;
        waitpid(pid, &status, 0);
        pid = -1;
    }
}

std::vector<std::string> BrokerArgs(const MqttBroker& broker) {
    std::vector<std::string> a = {"-h", "127.0.0.1", "-p", std::to_string(broker.port()),
                                  "-q", "1"};
    if (broker.tls()) {
        a.insert(a.end(), {"--cafile", broker.ca_file()});
    }
    return a;
}

} // namespace

bool RunProgram(const std::vector<std::string>& argv) {
    const pid_t pid = Spawn(argv, "/dev/null");
    int status = 0;
    return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
}

bool MqttPublish(const MqttBroker& broker, const std::string& topic, const std::string& payload) {
    std::vector<std::string> a = {"mosquitto_pub", "-t", topic, "-m", payload};
    const std::vector<std::string> b = BrokerArgs(broker);
    a.insert(a.end(), b.begin(), b.end());
    return RunProgram(a);
}

MqttBroker::MqttBroker() : port_(FreePort()) {}

MqttBroker::~MqttBroker() {
    Stop();
}

bool MqttBroker::MakeTls() {
    const std::string d = dir_.path() + "/";
    std::ofstream(d + "san.ext") << "subjectAltName=IP:127.0.0.1\n";
    const std::vector<std::string> ec = {"-newkey", "ec", "-pkeyopt",
                                         "ec_paramgen_curve:prime256v1", "-nodes"};
    std::vector<std::string> ca = {"openssl", "req", "-x509"};
    ca.insert(ca.end(), ec.begin(), ec.end());
    ca.insert(ca.end(), {"-keyout", d + "ca.key", "-out", d + "ca.crt", "-days", "2", "-subj",
                         "/CN=ktev test CA"});
    std::vector<std::string> req = {"openssl", "req"};
    req.insert(req.end(), ec.begin(), ec.end());
    req.insert(req.end(),
               {"-keyout", d + "server.key", "-out", d + "server.csr", "-subj", "/CN=127.0.0.1"});
    const std::vector<std::string> sign = {
        "openssl",    "x509",           "-req",   "-in",        d + "server.csr",
        "-CA",        d + "ca.crt",     "-CAkey", d + "ca.key", "-CAcreateserial",
        "-out",       d + "server.crt", "-days",  "2",          "-extfile",
        d + "san.ext"};
    tls_ = RunProgram(ca) && RunProgram(req) && RunProgram(sign);
    return tls_;
}

bool MqttBroker::Start(bool persistent) {
    const std::string d = dir_.path() + "/";
    {
        std::ofstream conf(d + "mosquitto.conf");
        conf << "listener " << port_ << " 127.0.0.1\n"
             << "allow_anonymous true\n"
             << "log_dest stderr\n"
             // Started as root it would turn into the user "mosquitto", who may not read here.
             << "user " << CurrentUser() << "\n";
        if (tls_) {
            conf << "cafile " << d << "ca.crt\ncertfile " << d << "server.crt\nkeyfile " << d
                 << "server.key\n";
        }
        if (persistent) {
            // A subscriber away while the broker restarts gets everything published meanwhile,
            // not the default's first 1,000 messages.
            conf << "persistence true\npersistence_location " << d << "\nmax_queued_messages 0\n";
        } else {
            conf << "persistence false\n";
        }
    }
    pid_ = Spawn({"/usr/sbin/mosquitto", "-c", d + "mosquitto.conf"}, d + "broker.log");
    const auto end = std::chrono::steady_clock::now() + DEADLINE;
    while (pid_ > 0 && std::chrono::steady_clock::now() < end) {
        // Only our own broker counts: one that could not take the port has ended.
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return false;
        }
        if (Accepts(port_)) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

void MqttBroker::Stop() {
    End(pid_);
}

std::string MqttBroker::Log() const {
    return ReadWholeFile(dir_.file("broker.log"));
}

MqttSubscriber::MqttSubscriber(const MqttBroker& broker, const std::vector<std::string>& topics,
                               const std::string& session, const std::vector<std::string>& extra)
    : broker_(broker) {
    static std::atomic<int> serial{0};
    out_ = broker.folder() + "/sub" + std::to_string(++serial) + ".txt";
    std::vector<std::string> a = {"mosquitto_sub", "-v"};
    for (const std::string& t : topics) {
        a.insert(a.end(), {"-t", t});
    }
    if (!session.empty()) {
        a.insert(a.end(), {"-c", "-i", session});
    }
    const std::vector<std::string> b = BrokerArgs(broker);
    a.insert(a.end(), b.begin(), b.end());
    a.insert(a.end(), extra.begin(), extra.end());
    pid_ = Spawn(a, out_);
}

MqttSubscriber::~MqttSubscriber() {
    End(pid_);
}

bool MqttSubscriber::WaitReady(const std::string& topic) {
    const auto end = std::chrono::steady_clock::now() + DEADLINE;
    while (std::chrono::steady_clock::now() < end) {
        MqttPublish(broker_, topic, "probe");
        for (int i = 0; i < 10; ++i) {
            for (const std::string& line : Lines()) {
                if (line == topic + " probe") {
                    return true;
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    return false;
}

std::vector<std::string> MqttSubscriber::Lines() const {
    std::ifstream in(out_);
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(in, line)) {
        lines.push_back(line);
    }
    return lines;
}

bool MqttSubscriber::Ended() {
    if (pid_ <= 0) {
        return true;
    }
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return true;
    }
    return false;
}
