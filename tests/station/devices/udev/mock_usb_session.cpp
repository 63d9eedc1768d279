// Runs a program with USB devices mocked by umockdev and plays steps against it:
//
//   mock_usb_session [STEP...] -- PROGRAM [ARGUMENT...]
//
//   wait-monitor              wait until the program listens for device notices (a udev monitor)
//   wait-read                 wait until the program has read every device notice sent to it
//   wait-window:TITLE         wait until the program shows a top-level window whose title begins
//                             with TITLE
//   plug:PLACE:VID:PID[:SERIAL]  plug a device in below the host controller (PLACE like usb1/1-1.4)
//   unplug:PLACE              pull it out again
//   sleep:MS                  wait
//   close:TITLE               ask the program's top-level window whose title begins with TITLE to
//                             close, as the window's close box does (windows of other programs on
//                             the same display are left alone)
//
// After the steps it waits for the program to end and exits with its status (1 when a step failed,
// 124 when the program did not end in time). The program never outlives the session: it is killed,
// with what it started, when a step fails, when it does not end in time and when the session is
// told to end; a session killed outright takes the program itself with it.
#include "MockUsb.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (size_t end; (end = text.find(separator, start)) != std::string::npos; start = end + 1)
        parts.push_back(text.substr(start, end - start));
    parts.push_back(text.substr(start));
    return parts;
}

// Other programs on the same display open and close windows while the session walks the
// window tree: a window that is gone by the time it is asked about is skipped, not fatal.
bool otherXError = false;

int SkipVanishedWindows(Display* display, XErrorEvent* error) {
    if (error->error_code == BadWindow) return 0;
    char text[256] = "";
    XGetErrorText(display, error->error_code, text, sizeof text);
    std::fprintf(stderr, "mock_usb_session: X error: %s (request %d)\n", text, error->request_code);
    otherXError = true;
    return 0;
}

// Leaves an ended child unreaped, so that its process group can still be killed.
bool ChildRunning(pid_t child) {
    siginfo_t info{};
    return waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == 0;
}

// The program's udev monitor shows as a socket in umockdev's directory.
bool WaitForMonitor(pid_t child) {
    const char* dir = std::getenv("UMOCKDEV_DIR");
    if (!dir) return false;
    const auto until = Clock::now() + std::chrono::seconds(60);
    while (Clock::now() < until) {
        for (const auto& entry : std::filesystem::directory_iterator(dir))
            if (entry.path().filename().string().rfind("event", 0) == 0) return true;
        if (!ChildRunning(child)) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

// The inodes of the sockets bound in umockdev's directory as event sockets: the programs' monitors.
std::set<std::string> MonitorSocketInodes() {
    std::set<std::string> inodes;
    const char* dir = std::getenv("UMOCKDEV_DIR");
    if (!dir) return inodes;
    const std::string prefix = std::string(dir) + "/event";
    std::ifstream table("/proc/net/unix");  // Num RefCount Protocol Flags Type St Inode Path
    std::string line;
    std::getline(table, line);
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string skip, inode, path;
        for (int i = 0; i < 6; ++i) fields >> skip;
        fields >> inode >> path;
        if (path.rfind(prefix, 0) == 0) inodes.insert(inode);
    }
    return inodes;
}

// Bytes that wait unread in the program's monitor sockets; -1 when it has none that can be seen.
long UnreadNotices(pid_t program) {
    const std::set<std::string> inodes = MonitorSocketInodes();
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, program, 0));
    if (pidfd < 0) return -1;
    long unread = -1;
    std::error_code ec;
    const std::string fdDir = "/proc/" + std::to_string(program) + "/fd";
    for (std::filesystem::directory_iterator it(fdDir, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code linkError;
        const std::string target = std::filesystem::read_symlink(it->path(), linkError).string();
        if (linkError || target.rfind("socket:[", 0) != 0 ||
            !inodes.count(target.substr(8, target.size() - 9)))
            continue;
        const int fd = static_cast<int>(
            syscall(SYS_pidfd_getfd, pidfd, std::atoi(it->path().filename().c_str()), 0));
        int bytes = 0;
        if (fd >= 0 && ioctl(fd, SIOCINQ, &bytes) == 0) unread = std::max(unread, 0L) + bytes;
        if (fd >= 0) close(fd);
    }
    close(pidfd);
    return unread;
}

// Waits until the program has read what was sent to its monitors (it reads a device's attributes
// as it reads its notice, so the device may go after that).
bool WaitForNoticesRead(pid_t child) {
    const auto until = Clock::now() + std::chrono::seconds(60);
    while (Clock::now() < until && ChildRunning(child)) {
        const long unread = UnreadNotices(child);
        if (unread == 0) return true;
        if (unread < 0) {
            std::fprintf(stderr, "mock_usb_session: the program's monitor sockets cannot be seen\n");
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

// The process that owns a window, from the _NET_WM_PID property its toolkit sets; 0 when unknown.
pid_t WindowPid(Display* display, Window window, Atom pidAtom) {
    Atom type;
    int format;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    pid_t pid = 0;
    if (XGetWindowProperty(display, window, pidAtom, 0, 1, False, XA_CARDINAL, &type, &format, &count, &after,
                           &data) == Success &&
        data && count == 1 && format == 32)
        pid = static_cast<pid_t>(*reinterpret_cast<unsigned long*>(data));
    if (data) XFree(data);
    return pid;
}

// The top-level windows of the process whose title begins with the prefix (viewable ones only when
// asked).
std::vector<Window> WindowsOf(Display* display, pid_t owner, const std::string& titlePrefix, bool viewable) {
    const Atom pidAtom = XInternAtom(display, "_NET_WM_PID", False);
    std::vector<Window> found;
    Window root, parent, *children = nullptr;
    unsigned count = 0;
    if (!XQueryTree(display, DefaultRootWindow(display), &root, &parent, &children, &count)) return found;
    for (unsigned i = 0; i < count; ++i) {
        char* name = nullptr;
        if (!XFetchName(display, children[i], &name) || !name) continue;
        const bool match = std::string(name).rfind(titlePrefix, 0) == 0;
        XFree(name);
        if (!match || WindowPid(display, children[i], pidAtom) != owner) continue;
        XWindowAttributes attributes;
        if (viewable && (!XGetWindowAttributes(display, children[i], &attributes) ||
                         attributes.map_state != IsViewable))
            continue;
        found.push_back(children[i]);
    }
    if (children) XFree(children);
    return found;
}

bool WaitForWindow(pid_t owner, const std::string& titlePrefix) {
    Display* display = XOpenDisplay(nullptr);
    if (!display) return false;
    bool shown = false;
    const auto until = Clock::now() + std::chrono::seconds(60);
    while (!shown && Clock::now() < until && ChildRunning(owner)) {
        shown = !WindowsOf(display, owner, titlePrefix, true).empty();
        if (!shown) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    XCloseDisplay(display);
    return shown;
}

// Sends WM_DELETE_WINDOW to every top-level window of the process whose title begins with the prefix.
bool CloseWindows(pid_t owner, const std::string& titlePrefix) {
    Display* display = XOpenDisplay(nullptr);
    if (!display) return false;
    const Atom protocols = XInternAtom(display, "WM_PROTOCOLS", False);
    const Atom deleteWindow = XInternAtom(display, "WM_DELETE_WINDOW", False);
    int sent = 0;
    {
        for (Window window : WindowsOf(display, owner, titlePrefix, false)) {
            XEvent event{};
            event.xclient.type = ClientMessage;
            event.xclient.window = window;
            event.xclient.message_type = protocols;
            event.xclient.format = 32;
            event.xclient.data.l[0] = static_cast<long>(deleteWindow);
            event.xclient.data.l[1] = CurrentTime;
            XSendEvent(display, window, False, NoEventMask, &event);
            ++sent;
        }
    }
    XFlush(display);
    XCloseDisplay(display);
    return sent > 0;
}

pid_t programGroup = 0;  // for the signal handler below

// A session told to end takes the program's group with it.
void EndWithTheProgram(int signal) {
    if (programGroup > 0) kill(-programGroup, SIGKILL);
    _exit(128 + signal);
}

// Kills the program's process group (the program, unless it has ended, and whatever it
// started), then reaps the program; its wait status.
int KillProgram(pid_t child) {
    kill(-child, SIGKILL);
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    return status;
}

int Usage() {
    std::fprintf(stderr, "usage: mock_usb_session [STEP...] -- PROGRAM [ARGUMENT...]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    EnterMockEnvironment(argv);
    int split = 1;
    while (split < argc && std::strcmp(argv[split], "--") != 0) ++split;
    if (split + 1 >= argc) return Usage();

    XSetErrorHandler(SkipVanishedWindows);
    MockUsbBed bed;  // sets UMOCKDEV_DIR, which the program inherits with the preload library
    const pid_t session = getpid();
    const pid_t child = fork();
    if (child == 0) {
        // The program and whatever it starts form a group of their own, which dies with the
        // session.
        setpgid(0, 0);
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != session) _exit(127);
        execvp(argv[split + 1], argv + split + 1);
        std::perror("mock_usb_session: exec");
        _exit(127);
    }
    if (child < 0) return 1;
    setpgid(child, child);  // also here, so that the group exists whichever of the two runs first
    programGroup = child;
    for (int signal : {SIGTERM, SIGINT, SIGHUP}) std::signal(signal, EndWithTheProgram);

    bool ok = true;
    std::map<std::string, std::string> plugged;  // place -> sysfs path
    for (int i = 1; i < split && ok; ++i) {
        const std::vector<std::string> step = Split(argv[i], ':');
        std::fprintf(stderr, "mock_usb_session: %s\n", argv[i]);
        if (step[0] == "wait-monitor") {
            ok = WaitForMonitor(child);
        } else if (step[0] == "wait-read") {
            ok = WaitForNoticesRead(child);
        } else if (step[0] == "wait-window" && step.size() >= 2) {
            ok = WaitForWindow(child, std::string(argv[i]).substr(12));
        } else if (step[0] == "plug" && (step.size() == 4 || step.size() == 5)) {
            plugged[step[1]] = bed.Plug(step[1], step[2], step[3],
                                        step.size() == 5 ? std::optional<std::string>(step[4]) : std::nullopt);
        } else if (step[0] == "unplug" && step.size() == 2 && plugged.count(step[1])) {
            bed.Unplug(plugged[step[1]]);
            plugged.erase(step[1]);
        } else if (step[0] == "sleep" && step.size() == 2) {
            std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(step[1].c_str())));
        } else if (step[0] == "close" && step.size() >= 2) {
            ok = CloseWindows(child, std::string(argv[i]).substr(6));
        } else {
            std::fprintf(stderr, "mock_usb_session: unknown step %s\n", argv[i]);
            ok = false;
        }
        if (ok && otherXError) ok = false;
        if (!ok) std::fprintf(stderr, "mock_usb_session: step failed: %s\n", argv[i]);
    }

    if (!ok) {
        KillProgram(child);
        return 1;
    }
    const auto until = Clock::now() + std::chrono::seconds(60);
    while (ChildRunning(child)) {
        if (Clock::now() > until) {
            std::fprintf(stderr, "mock_usb_session: the program did not end; killed\n");
            KillProgram(child);
            return 124;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    const int status = KillProgram(child);  // anything the program left behind goes too
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
