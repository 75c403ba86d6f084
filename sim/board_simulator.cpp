#include "sim/board_simulator.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <pty.h>
#include <sched.h>
#include <termios.h>
#include <unistd.h>
#include <utility>

namespace {

// No stream may spin the simulator's thread.
constexpr BoardSimulator::Millis kShortestStreamGap { 1 };
// Pieces sent per playback and pass, so that a stream with a tiny gap cannot
// starve the reading of requests.
constexpr int kPiecesPerPass = 64;

void closeFd(int& fd)
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

std::string temporaryDirectory()
{
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/wdt-board-XXXXXX";
    return ::mkdtemp(pattern.data()) ? pattern : std::string();
}

} // namespace

BoardSimulator::Reply BoardSimulator::Reply::silence()
{
    return Reply {};
}

BoardSimulator::Reply BoardSimulator::Reply::bytes(std::string raw)
{
    Reply reply;
    reply.pieces.push_back(std::move(raw));
    return reply;
}

BoardSimulator::Reply BoardSimulator::Reply::line(const std::string& text)
{
    return bytes(text + '\r');
}

BoardSimulator::Reply BoardSimulator::Reply::split(std::vector<std::string> pieces, Millis gap)
{
    Reply reply;
    reply.pieces = std::move(pieces);
    reply.gap = gap;
    return reply;
}

BoardSimulator::Reply BoardSimulator::Reply::stream(std::string chunk, Millis gap)
{
    Reply reply = bytes(std::move(chunk));
    reply.gap = std::max(gap, kShortestStreamGap);
    reply.endless = true;
    return reply;
}

BoardSimulator::Reply BoardSimulator::Reply::after(Millis wait) const
{
    Reply copy = *this;
    copy.delay = wait;
    return copy;
}

std::string BoardSimulator::garbage(std::size_t size)
{
    // Bytes from 0x80 up only: stray continuation and lead bytes, never a
    // blank, a line end or NUL that a reader could trim or stop at.
    std::string noise(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        noise[i] = static_cast<char>(0x80 + (i * 37) % 0x7F);
    return noise;
}

BoardSimulator::BoardSimulator()
{
    directory = temporaryDirectory();
    if (directory.empty())
        return;
    linkPath = directory + "/board";
    int pipeFds[2];
    if (::pipe2(pipeFds, O_NONBLOCK | O_CLOEXEC) != 0)
        return;
    wakeRead = pipeFds[0];
    wakeWrite = pipeFds[1];
    if (!openLine())
        return;
    thread = std::thread([this] { run(); });
}

BoardSimulator::~BoardSimulator()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
    }
    wake();
    if (thread.joinable())
        thread.join();
    shutLine();
    closeFd(wakeRead);
    closeFd(wakeWrite);
    if (!directory.empty())
        ::rmdir(directory.c_str());
}

bool BoardSimulator::ok() const
{
    return thread.joinable();
}

void BoardSimulator::reply(const std::string& request, Reply answer)
{
    replies(request, { std::move(answer) });
}

void BoardSimulator::replies(const std::string& request, std::vector<Reply> sequence)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (sequence.empty())
        sequence.push_back(Reply::silence());
    script[request] = Entry { std::move(sequence), 0 };
}

void BoardSimulator::fallback(Reply answer)
{
    std::lock_guard<std::mutex> lock(mutex);
    fallbackReply = std::move(answer);
}

void BoardSimulator::echo(bool on)
{
    std::lock_guard<std::mutex> lock(mutex);
    echoing = on;
}

void BoardSimulator::respond(Responder answerer)
{
    std::lock_guard<std::mutex> lock(mutex);
    responder = std::move(answerer);
}

void BoardSimulator::clearScript()
{
    std::lock_guard<std::mutex> lock(mutex);
    script.clear();
    fallbackReply = Reply::silence();
}

std::vector<BoardSimulator::Request> BoardSimulator::requests() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return log;
}

std::vector<std::string> BoardSimulator::requestTexts() const
{
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<std::string> texts;
    for (const Request& request : log)
        texts.push_back(request.text);
    return texts;
}

std::size_t BoardSimulator::requestCount() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return log.size();
}

std::size_t BoardSimulator::count(const std::string& request) const
{
    std::lock_guard<std::mutex> lock(mutex);
    return static_cast<std::size_t>(
        std::count_if(log.begin(), log.end(), [&](const Request& seen) { return seen.text == request; }));
}

std::string BoardSimulator::received() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return bytesIn;
}

void BoardSimulator::clearRecord()
{
    std::lock_guard<std::mutex> lock(mutex);
    log.clear();
    bytesIn.clear();
}

bool BoardSimulator::waitForRequests(std::size_t n, Millis timeout) const
{
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, timeout, [&] { return log.size() >= n; });
}

bool BoardSimulator::waitUntilIdle(Millis timeout) const
{
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, timeout, [&] { return playbacks.empty(); });
}

void BoardSimulator::cancelOutput()
{
    runOnThread([this] { playbacks.clear(); });
}

void BoardSimulator::closeLine()
{
    runOnThread([this] { shutLine(); });
}

void BoardSimulator::reopenLine()
{
    runOnThread([this] {
        if (master < 0)
            openLine();
    });
}

bool BoardSimulator::lineOpen() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return master >= 0;
}

// Descriptors change only on the simulator's thread, between two polls.
void BoardSimulator::runOnThread(const std::function<void()>& task)
{
    std::unique_lock<std::mutex> lock(mutex);
    if (!thread.joinable()) {
        task();
        return;
    }
    tasks.push_back(task);
    const unsigned long ticket = ++tasksQueued;
    wake();
    changed.wait(lock, [&] { return tasksDone >= ticket; });
}

pid_t BoardSimulator::forkWhileIdle(const std::function<int()>& child)
{
    pid_t pid = -1;
    runOnThread([&] {
        pid = ::fork();
        if (pid != 0)
            return;
        // The simulator's thread runs in real time; the child is no board.
        const sched_param normal { 0 };
        ::pthread_setschedparam(::pthread_self(), SCHED_OTHER, &normal);
        ::_exit(child());
    });
    return pid;
}

void BoardSimulator::wake() const
{
    if (wakeWrite >= 0) {
        const char byte = 0;
        [[maybe_unused]] const ssize_t ignored = ::write(wakeWrite, &byte, 1);
    }
}

bool BoardSimulator::openLine()
{
    int newMaster = -1;
    int newSlave = -1;
    if (::openpty(&newMaster, &newSlave, nullptr, nullptr, nullptr) != 0)
        return false;
    // Raw, like a UART: no echo of what the board sends, no CR/LF mapping,
    // whoever opens the slave next. The client saves and restores exactly
    // these settings around each of its opens.
    termios settings {};
    ::tcgetattr(newSlave, &settings);
    ::cfmakeraw(&settings);
    ::tcsetattr(newSlave, TCSANOW, &settings);
    ::fcntl(newMaster, F_SETFL, ::fcntl(newMaster, F_GETFL) | O_NONBLOCK);
    ::fcntl(newMaster, F_SETFD, FD_CLOEXEC);
    ::fcntl(newSlave, F_SETFD, FD_CLOEXEC);

    const char* slaveName = ::ptsname(newMaster);
    ::unlink(linkPath.c_str());
    if (!slaveName || ::symlink(slaveName, linkPath.c_str()) != 0) {
        ::close(newMaster);
        ::close(newSlave);
        return false;
    }
    master = newMaster;
    slave = newSlave;
    return true;
}

void BoardSimulator::shutLine()
{
    if (!linkPath.empty())
        ::unlink(linkPath.c_str());
    closeFd(master);
    closeFd(slave);
    pending.clear();
    playbacks.clear();
    changed.notify_all();
}

void BoardSimulator::run()
{
    // A board keeps its timing however busy the host is; a reply whose
    // pieces a loaded machine spaced out past the reader's quiet gap would
    // test the scheduler, not the reader. Without the privilege for it the
    // board runs at normal priority.
    const sched_param realTime { 1 };
    ::pthread_setschedparam(::pthread_self(), SCHED_FIFO, &realTime);

    std::unique_lock<std::mutex> lock(mutex);
    while (!stopping) {
        if (!tasks.empty()) {
            for (const auto& task : tasks)
                task();
            tasksDone += tasks.size();
            tasks.clear();
            changed.notify_all();
        }
        sendDue();

        int timeoutMs = -1;
        const Clock::time_point now = Clock::now();
        for (const Playback& playback : playbacks) {
            const auto wait = std::chrono::ceil<Millis>(playback.due - now).count();
            const int ms = static_cast<int>(std::max<decltype(wait)>(wait, 0));
            timeoutMs = timeoutMs < 0 ? ms : std::min(timeoutMs, ms);
        }
        pollfd fds[2] = { { wakeRead, POLLIN, 0 }, { master, POLLIN, 0 } };
        const nfds_t count = master >= 0 ? 2 : 1;

        lock.unlock();
        const int ready = ::poll(fds, count, timeoutMs);
        lock.lock();
        if (ready <= 0)
            continue;
        if (fds[0].revents & POLLIN) {
            char drain[64];
            while (::read(wakeRead, drain, sizeof drain) > 0) { }
        }
        if (count == 2 && fds[1].fd == master && (fds[1].revents & POLLIN))
            takeInput();
    }
}

void BoardSimulator::takeInput()
{
    char buffer[4096];
    const ssize_t got = ::read(master, buffer, sizeof buffer);
    if (got <= 0)
        return;
    bytesIn.append(buffer, static_cast<std::size_t>(got));
    if (echoing && master >= 0) {
        [[maybe_unused]] const ssize_t ignored = ::write(master, buffer, static_cast<std::size_t>(got));
    }
    pending.append(buffer, static_cast<std::size_t>(got));
    for (std::size_t end = pending.find('\r'); end != std::string::npos; end = pending.find('\r')) {
        const std::string request = pending.substr(0, end);
        pending.erase(0, end + 1);
        log.push_back(Request { request, Clock::now() });
        answer(request);
    }
    changed.notify_all();
}

void BoardSimulator::answer(const std::string& request)
{
    const Reply* chosen = &fallbackReply;
    std::optional<Reply> computed;
    const auto entry = script.find(request);
    if (entry != script.end()) {
        Entry& scripted = entry->second;
        chosen = &scripted.sequence[std::min(scripted.used, scripted.sequence.size() - 1)];
        ++scripted.used;
    } else if (responder && (computed = responder(request))) {
        chosen = &*computed;
    }
    if (!chosen->pieces.empty())
        playbacks.push_back(Playback { *chosen, 0, Clock::now() + chosen->delay });
}

void BoardSimulator::sendDue()
{
    const Clock::time_point now = Clock::now();
    for (auto playback = playbacks.begin(); playback != playbacks.end();) {
        bool finished = false;
        for (int sent = 0; !finished && sent < kPiecesPerPass && playback->due <= now; ++sent) {
            const std::string& piece = playback->reply.pieces[playback->next];
            // The master does not block: what the line cannot take while
            // nobody reads is lost, as on a real wire.
            if (master >= 0 && !piece.empty()) {
                [[maybe_unused]] const ssize_t ignored = ::write(master, piece.data(), piece.size());
            }
            playback->due = now + playback->reply.gap;
            if (++playback->next == playback->reply.pieces.size()) {
                playback->next = 0;
                finished = !playback->reply.endless;
            }
        }
        playback = finished ? playbacks.erase(playback) : playback + 1;
    }
    if (playbacks.empty())
        changed.notify_all();
}
