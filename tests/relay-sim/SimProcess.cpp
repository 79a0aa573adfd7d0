#include "SimProcess.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

// Forks the program with stdin and stdout/stderr redirected; throws on failure.
pid_t Spawn(std::string program, const std::vector<std::string>& options, int stdinFd, int outFd)
{
    std::vector<char*> argv;
    argv.push_back(program.data());
    std::vector<std::string> copy = options;
    for (auto& option : copy)
        argv.push_back(option.data());
    argv.push_back(nullptr);

    const pid_t pid = ::fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        ::dup2(stdinFd, STDIN_FILENO);
        ::dup2(outFd, STDOUT_FILENO);
        ::dup2(outFd, STDERR_FILENO);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    return pid;
}

SimProcess::Exit Reap(pid_t pid, std::chrono::milliseconds bound)
{
    SimProcess::Exit result;
    const auto deadline = std::chrono::steady_clock::now() + bound;
    int status = 0;
    for (;;) {
        const pid_t r = ::wait4(pid, &status, WNOHANG, &result.usage);
        if (r == pid)
            break;
        if (r < 0 && errno != EINTR)
            return result;
        if (std::chrono::steady_clock::now() >= deadline) {
            ::kill(pid, SIGKILL);
            ::wait4(pid, &status, 0, &result.usage);
            result.signal = SIGKILL;
            return result;
        }
        std::this_thread::sleep_for(5ms);
    }
    result.exited = WIFEXITED(status);
    result.status = result.exited ? WEXITSTATUS(status) : -1;
    result.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    return result;
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string TemporaryDirectory()
{
    std::string pattern =
        (std::filesystem::temp_directory_path() / "relay-sim-test.XXXXXX").string();
    if (!::mkdtemp(pattern.data()))
        throw std::runtime_error("mkdtemp failed");
    return pattern;
}

} // namespace

SimProcess::SimProcess(std::vector<std::string> options, bool keys, std::string linkPath)
    : dir_(TemporaryDirectory())
{
    link_ = linkPath.empty() ? dir_ + "/relay" : std::move(linkPath);
    options.push_back("--link");
    options.push_back(link_);
    Launch(options, keys, RELAY_SIM_PATH);
}

SimProcess::SimProcess(OverTcp tcp, std::vector<std::string> options)
    : dir_(TemporaryDirectory())
{
    options.push_back("--tcp");
    options.push_back(tcp.host + ":" + std::to_string(tcp.port));
    Launch(options, false, RELAY_SIM_PATH);
}

SimProcess::SimProcess(const Program& program) : dir_(TemporaryDirectory())
{
    Launch(program.arguments, false, program.path);
}

void SimProcess::Launch(const std::vector<std::string>& options, bool keys, const std::string& program)
{
    int stdinFd = -1;
    int pipeFds[2] = {-1, -1};
    if (keys) {
        if (::pipe2(pipeFds, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe failed");
        stdinFd = pipeFds[0];
        keysFd_ = pipeFds[1];
    } else {
        stdinFd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    }
    const int outFd = ::open((dir_ + "/output").c_str(),
                             O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    started_ = std::chrono::steady_clock::now();
    pid_ = Spawn(program, options, stdinFd, outFd);
    ::close(stdinFd);
    ::close(outFd);
}

void SimProcess::SendSignal(int signal)
{
    if (pid_ > 0)
        ::kill(pid_, signal);
}

SimProcess::~SimProcess()
{
    if (pid_ > 0)
        Stop(SIGKILL, 2s);
    if (keysFd_ >= 0)
        ::close(keysFd_);
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
}

bool SimProcess::WaitForLink(std::chrono::milliseconds bound) const
{
    const auto deadline = std::chrono::steady_clock::now() + bound;
    for (;;) {
        struct stat st{};
        if (::stat(link_.c_str(), &st) == 0 && S_ISCHR(st.st_mode))
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(5ms);
    }
}

bool SimProcess::WaitForOutput(std::string_view text, std::chrono::milliseconds bound) const
{
    const auto deadline = std::chrono::steady_clock::now() + bound;
    for (;;) {
        if (Output().find(text) != std::string::npos)
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(5ms);
    }
}

std::string SimProcess::WaitForAddress(std::chrono::milliseconds bound) const
{
    static constexpr std::string_view kLabel = "\nPORT=";
    const auto deadline = std::chrono::steady_clock::now() + bound;
    for (;;) {
        const std::string output = Output();
        const auto label = output.find(kLabel);
        const auto end = output.find('\n', label + 1);
        if (label != std::string::npos && end != std::string::npos) {
            const auto start = label + kLabel.size();
            const std::string address = output.substr(start, end - start);
            return address.starts_with("tcp://") ? address : std::string();
        }
        if (std::chrono::steady_clock::now() >= deadline)
            return {};
        std::this_thread::sleep_for(5ms);
    }
}

void SimProcess::SendKeys(const std::string& keys)
{
    if (keysFd_ >= 0 && ::write(keysFd_, keys.data(), keys.size()) < 0)
        throw std::runtime_error("cannot type into the simulator");
}

SimProcess::Exit SimProcess::Stop(int signal, std::chrono::milliseconds bound)
{
    if (pid_ <= 0)
        return {};
    ::kill(pid_, signal);
    return Wait(bound);
}

SimProcess::Exit SimProcess::Wait(std::chrono::milliseconds bound)
{
    if (pid_ <= 0)
        return {};
    const Exit result = Reap(pid_, bound);
    pid_ = -1;
    return result;
}

std::string SimProcess::Output() const
{
    return ReadFile(dir_ + "/output");
}

std::pair<int, std::string> SimProcess::RunToEnd(const std::vector<std::string>& options)
{
    std::string path =
        (std::filesystem::temp_directory_path() / "relay-sim-output.XXXXXX").string();
    const int outFd = ::mkstemp(path.data());
    if (outFd < 0)
        throw std::runtime_error("mkstemp failed");
    const int nullFd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    const pid_t pid = Spawn(RELAY_SIM_PATH, options, nullFd, outFd);
    ::close(nullFd);
    ::close(outFd);
    const Exit exit = Reap(pid, 5s);
    std::string output = ReadFile(path);
    ::unlink(path.c_str());
    return {exit.exited ? exit.status : -1, output};
}

uint16_t FreeLoopbackPort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    const bool bound = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0
                       && ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0;
    ::close(fd);
    if (!bound)
        throw std::runtime_error("no free port on 127.0.0.1");
    return ntohs(address.sin_port);
}
