// brackwater-sim wire as a user runs it: it says where it listens, real clients reach the images
// it attached, and a stop signal ends it cleanly with its socket gone.
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <algorithm>
#include <string_view>
#include <vector>

#include "sim/wire_support.h"
#include "support/build_paths.h"

namespace bw::testing::wire {
namespace {

struct Started {
    pid_t pid = -1;
    int out = -1;  // the program's standard output
};

Started StartTool(const std::vector<std::string>& arguments) {
    // Everything the child needs is made before the fork: the test process has threads, so the
    // child only redirects and execs.
    std::vector<char*> argv{const_cast<char*>(BRACKWATER_SIM_TOOL_PATH)};
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (char** entry = environ; *entry != nullptr; ++entry)
        if (std::string_view(*entry).rfind("BRACKWATER_SIM_IMAGES=", 0) != 0)
            envp.push_back(*entry);
    envp.push_back(nullptr);
    int pipeFds[2];
    if (::pipe(pipeFds) != 0) return {};
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(pipeFds[1], 1);
        ::close(pipeFds[0]);
        ::close(pipeFds[1]);
        ::execve(BRACKWATER_SIM_TOOL_PATH, argv.data(), envp.data());
        ::_exit(127);
    }
    ::close(pipeFds[1]);
    return {pid, pipeFds[0]};
}

// The first line the program prints, waiting at most 30 seconds for it.
std::string FirstLine(int fd) {
    std::string line;
    char c = 0;
    while (line.size() < 4096) {
        pollfd ready{fd, POLLIN, 0};
        if (::poll(&ready, 1, 30000) <= 0 || ::read(fd, &c, 1) != 1 || c == '\n') break;
        line.push_back(c);
    }
    return line;
}

int ExitStatus(pid_t pid) {
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

using WireCliTest = WireTest;

TEST_F(WireCliTest, ServesItsImagesUntilAStopSignalAndRemovesItsSocket) {
    BW_REQUIRE_TOOL(tool, "idevice_id");
    const std::string image = MakeImage("phone");
    const std::string bytes = ReadFileBytes(image + "/device.plist");
    plist_t values = nullptr;
    plist_from_memory(bytes.data(), static_cast<uint32_t>(bytes.size()), &values);
    const sim::PlistTree owned(values);
    const std::string udid = TextAt(values, "UniqueDeviceID");

    const Started started = StartTool({"wire", "--socket", socket_, image});
    ASSERT_GT(started.pid, 0);
    EXPECT_EQ(FirstLine(started.out), "USBMUXD_SOCKET_ADDRESS=UNIX:" + socket_);
    struct stat info {};
    ASSERT_EQ(::lstat(socket_.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    const ToolRun run = Run(tool + " -l");
    EXPECT_EQ(run.out, udid + "\n") << run.err;

    ASSERT_EQ(::kill(started.pid, SIGTERM), 0);
    EXPECT_EQ(ExitStatus(started.pid), 0);
    ::close(started.out);
    EXPECT_NE(::lstat(socket_.c_str(), &info), 0) << "the socket is removed";
}

TEST_F(WireCliTest, RefusesWhatItCannotServeWithOneLineAndTheUsualStatus) {
    const std::string image = MakeImage("phone");
    const std::string taken = folder_.Write("taken", "a user's file");
    struct Case {
        std::vector<std::string> arguments;
        int status;
        std::string says;
    };
    const Case cases[] = {
        {{"wire", image}, 2, "--socket"},
        {{"wire", "--socket", socket_}, 2, "image"},
        {{"wire", "--socket", socket_, "--fast", image}, 2, "--fast"},
        {{"wire", "--socket", socket_, folder_ / "no-image"}, 1, "no-image"},
        {{"wire", "--socket", taken, image}, 1, "not a socket"},
    };
    for (const Case& c : cases) {
        const std::string err = folder_ / "err";
        std::string line = std::string("BRACKWATER_SIM_IMAGES= ") + BRACKWATER_SIM_TOOL_PATH;
        for (const std::string& argument : c.arguments)
            line += " '" + argument + "'";
        const int raw = std::system((line + " >/dev/null 2>" + err).c_str());
        EXPECT_EQ(WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, c.status) << line;
        const std::string said = ReadFileBytes(err);
        EXPECT_NE(said.find(c.says), std::string::npos) << said;
        EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
    }
    EXPECT_EQ(ReadFileBytes(taken), "a user's file");
}

}  // namespace
}  // namespace bw::testing::wire
