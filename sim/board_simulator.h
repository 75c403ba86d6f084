#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

// Plays the serial controller board on the master side of a pseudo-terminal,
// on a thread of its own, so that the daemon's real serial code talks to it
// through portName() exactly as it would talk to /dev/ttyS0.
//
// The board reads requests ended by a carriage return, records each with the
// time its CR arrived, and answers from a script keyed by the request text
// (without the CR), or with the fallback reply when the script has no entry.
// A script entry may hold several replies for successive requests of the
// same text, the last one repeating. The fallback is silence until set. Script, fallback and line can be changed
// and everything recorded can be read from any thread while it runs.
//
// portName() is a symbolic link in a private directory that points at the
// current slave device. closeLine() closes the pseudo-terminal and removes the
// link, as if a USB adapter were pulled; reopenLine() creates a new one behind
// the same name.
//
// The simulator keeps the slave side open itself, in raw mode, so that the
// line neither hangs up nor echoes between the client's opens and closes.
// A pseudo-terminal therefore keeps bytes sent while the client has the
// device closed, which a real UART would drop.
class BoardSimulator {
public:
    using Clock = std::chrono::steady_clock;
    using Millis = std::chrono::milliseconds;

    // What the board sends back for one request: the pieces one after
    // another, the first after the delay, each following one a gap later.
    struct Reply {
        std::vector<std::string> pieces;
        Millis delay { 0 };
        Millis gap { 0 };
        // Start over with the first piece after the last one, until the
        // output is cancelled or the line is closed.
        bool endless = false;

        /// No answer at all.
        static Reply silence();
        /// Exactly these bytes (NUL, CR LF and anything else included).
        static Reply bytes(std::string raw);
        /// A text ended by one carriage return, as the board ends a reply.
        static Reply line(const std::string& text);
        /// Several pieces, @p gap apart.
        static Reply split(std::vector<std::string> pieces, Millis gap);
        /// @p chunk again and again, @p gap apart, without end.
        static Reply stream(std::string chunk, Millis gap);
        /// The same reply, starting @p delay after the request.
        Reply after(Millis delay) const;
    };

    struct Request {
        std::string text; // without the carriage return
        Clock::time_point at;
    };

    /// Line noise: @p size bytes that are neither text nor valid UTF-8.
    static std::string garbage(std::size_t size);

    BoardSimulator();
    ~BoardSimulator();
    BoardSimulator(const BoardSimulator&) = delete;
    BoardSimulator& operator=(const BoardSimulator&) = delete;

    /// False when no pseudo-terminal could be created; nothing else works then.
    bool ok() const;
    /// The device name to configure, stable across closeLine()/reopenLine().
    std::string portName() const { return linkPath; }

    void reply(const std::string& request, Reply reply);
    /// The first request of this text gets the first reply, the next one
    /// the second, and so on; the last reply repeats.
    void replies(const std::string& request, std::vector<Reply> sequence);
    void fallback(Reply reply);
    void clearScript();
    /// Sends every byte received straight back, before any reply, as an
    /// RS-485 adapter with local echo does.
    void echo(bool on);

    // Answers a request that has no script entry, before the fallback does;
    // no reply leaves the request to the fallback. For a board whose
    // answers depend on its state or on time rather than on a script. It
    // runs on the simulator's thread with the simulator locked, so it must
    // not call back into the simulator.
    using Responder = std::function<std::optional<Reply>(const std::string& request)>;
    void respond(Responder responder);

    std::vector<Request> requests() const;
    std::vector<std::string> requestTexts() const;
    std::size_t requestCount() const;
    std::size_t count(const std::string& request) const;
    /// Every byte received so far, carriage returns and all.
    std::string received() const;
    /// Forgets the requests and bytes received so far.
    void clearRecord();

    /// Forks the process on the simulator's own thread, where no thread of
    /// it can be inside the allocator or hold another lock the child would
    /// need: a child forked while that thread was allocating could hang at
    /// its first allocation (the sanitizers' allocators do not guard fork).
    /// The child, at normal priority, runs @p child and exits with what it
    /// returns. The child's pid, or -1.
    pid_t forkWhileIdle(const std::function<int()>& child);

    /// Waits until at least @p n requests have arrived in all; false when
    /// the timeout passed first.
    bool waitForRequests(std::size_t n, Millis timeout) const;
    /// Waits until every reply has been sent in full (never, while an endless
    /// stream runs).
    bool waitUntilIdle(Millis timeout) const;
    /// Drops whatever is still to be sent, endless streams included.
    void cancelOutput();

    void closeLine();
    void reopenLine();
    bool lineOpen() const;

private:
    struct Entry {
        std::vector<Reply> sequence;
        std::size_t used = 0;
    };

    struct Playback {
        Reply reply;
        std::size_t next = 0;
        Clock::time_point due;
    };

    void run();
    void runOnThread(const std::function<void()>& task);
    bool openLine();
    void shutLine();
    void takeInput();
    void answer(const std::string& request);
    void sendDue();
    void wake() const;

    std::string directory;
    std::string linkPath;
    int wakeRead = -1;
    int wakeWrite = -1;

    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    // Everything below is guarded by the mutex; the descriptors are only
    // touched by the simulator's thread once it runs.
    int master = -1;
    int slave = -1;
    std::map<std::string, Entry> script;
    Responder responder;
    Reply fallbackReply;
    bool echoing = false;
    std::vector<Request> log;
    std::string bytesIn;
    std::string pending;
    std::vector<Playback> playbacks;
    std::vector<std::function<void()>> tasks;
    unsigned long tasksDone = 0;
    unsigned long tasksQueued = 0;
    bool stopping = false;
    std::thread thread;
};
