#include "channel/capture.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <system_error>
#include <utility>

#include "runner/child.hpp"
#include "runner/wait.hpp"
#include "tmux/format.hpp"

namespace vordalin::channel {

namespace {

// How long the client may take to write a capture's file.
constexpr auto kFileTimeout = std::chrono::seconds(10);
constexpr std::size_t kReadChunk = 256 * 1024;

// What the checks below need of a file: statx, which the wheel's glibc floor has (its stat
// functions are newer there).
constexpr unsigned kNeeded = STATX_TYPE | STATX_MODE | STATX_NLINK | STATX_UID | STATX_INO;

// The file `path` names relative to `directory` (an empty path: the directory itself), never
// following a link.
bool examine(int directory, const char* path, struct statx& found) {
    int flags = AT_SYMLINK_NOFOLLOW | (*path == '\0' ? AT_EMPTY_PATH : 0);
    return ::statx(directory, path, flags, kNeeded, &found) == 0;
}

bool same_file(const struct statx& a, const struct statx& b) {
    return a.stx_dev_major == b.stx_dev_major && a.stx_dev_minor == b.stx_dev_minor && a.stx_ino == b.stx_ino;
}

}  // namespace

Captures::Captures(std::string directory, runner::Fd directory_fd, runner::Fd watch) noexcept
    : directory_(std::move(directory)), directory_fd_(std::move(directory_fd)), watch_(std::move(watch)) {}

Captures::~Captures() {
    remove();
}

std::unique_ptr<Captures> Captures::make() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/vordalin-channel-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        return nullptr;
    }
    runner::Fd directory(::open(pattern.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    runner::Fd watch(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
    std::unique_ptr<Captures> made(new Captures(pattern, std::move(directory), std::move(watch)));
    if (!made->directory_fd_.valid() || !made->watch_.valid() ||
        ::inotify_add_watch(made->watch_.get(), pattern.c_str(), IN_CLOSE_WRITE) < 0 || !made->still_ours()) {
        return nullptr;  // the destructor removes what was made
    }
    return made;
}

// The directory's path still leads to the directory we made, and only we can write in it: no
// one else can have put a name there, or swapped the directory for one of theirs.
bool Captures::still_ours() const {
    struct statx made{};
    struct statx named{};
    if (!examine(directory_fd_.get(), "", made) || !examine(AT_FDCWD, directory_.c_str(), named)) {
        return false;
    }
    return same_file(made, named) && S_ISDIR(made.stx_mode) && made.stx_uid == ::geteuid() &&
           (made.stx_mode & 077) == 0 && made.stx_nlink > 0;
}

std::optional<runner::Result> Captures::capture(Protocol& protocol, const Words& words, bool& sent) {
    if (!still_ours()) {
        return std::nullopt;
    }
    // The file is made here, as ours, before tmux is told its name; a name someone left in our
    // directory is taken away first (unlinking removes a link, never what it points to).
    std::string name = std::to_string(++count_);
    int flags = O_RDONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    runner::Fd file(::openat(directory_fd_.get(), name.c_str(), flags, 0600));
    if (!file.valid() && errno == EEXIST && ::unlinkat(directory_fd_.get(), name.c_str(), 0) == 0) {
        file = runner::Fd(::openat(directory_fd_.get(), name.c_str(), flags, 0600));
    }
    if (!file.valid()) {
        return std::nullopt;
    }
    struct Remove {
        int directory;
        const std::string& name;
        ~Remove() { ::unlinkat(directory, name.c_str(), 0); }
    } remove_file{directory_fd_.get(), name};
    std::string buffer = "vordalin-" + std::to_string(::getpid()) + "-" + name;
    Words capture_words{"capture-pane", "-b", buffer};
    capture_words.insert(capture_words.end(), words.begin() + 2, words.end());
    // save-buffer expands formats in the path.
    std::string path = tmux::literal_format(directory_ + "/" + name);
    runner::Result saved = *protocol.answer(
        {{capture_words, {"save-buffer", "-b", buffer, path}, {"delete-buffer", "-b", buffer}}, false, std::nullopt},
        sent);
    if (!saved.ok()) {
        return saved;
    }
    // save-buffer answers before its client has written the file, and reports a failure to
    // write it later, as a line of its own; the file is whole once the client closes it.
    runner::Result result;
    auto deadline = runner::Clock::now() + kFileTimeout;
    while (!closed_after_writing(name)) {
        if (std::optional<std::string> complaint = protocol.settle()) {
            result.returncode = 1;
            result.err = *complaint + "\n";
            return result;
        }
        // Lines from the client that keep arriving must not keep the wait past its deadline.
        std::array<pollfd, 2> watch{{{watch_.get(), POLLIN, 0}, {protocol.conversation().output_fd(), POLLIN, 0}}};
        if (runner::Clock::now() >= deadline || runner::wait_readable(watch, deadline) == 0) {
            throw Stray{};
        }
    }
    // The name must still be the file we made: the client wrote into it, not elsewhere.
    struct statx opened{};
    struct statx named{};
    if (!examine(file.get(), "", opened) || !examine(directory_fd_.get(), name.c_str(), named) ||
        !same_file(opened, named)) {
        throw Stray{};
    }
    for (off_t offset = 0;;) {
        ssize_t got = ::pread(file.get(), result.out.tail(kReadChunk), kReadChunk, offset);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            runner::throw_os_failure("read");
        }
        if (got == 0) {
            break;
        }
        result.out.commit(static_cast<std::size_t>(got));
        offset += got;
    }
    result.returncode = 0;
    return result;
}

// Whether the events on the directory tell that the file was closed after writing.
bool Captures::closed_after_writing(const std::string& name) {
    alignas(inotify_event) std::array<char, 4096> events;
    bool closed = false;
    for (;;) {
        ssize_t got = ::read(watch_.get(), events.data(), events.size());
        if (got <= 0) {
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (got < 0 && errno != EAGAIN) {
                runner::throw_os_failure("read");
            }
            return closed;
        }
        for (ssize_t at = 0; at < got;) {
            const auto* event = reinterpret_cast<const inotify_event*>(events.data() + at);
            closed = closed || (event->len > 0 && name == event->name);
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
}

void Captures::remove() noexcept {
    if (directory_.empty() || !directory_fd_.valid()) {
        return;
    }
    // Only what is in the directory we made, found through it; a capture cut short (Ctrl-C)
    // may have left its file.
    int listing = ::openat(directory_fd_.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (DIR* entries = listing >= 0 ? ::fdopendir(listing) : nullptr) {
        while (const dirent* entry = ::readdir(entries)) {
            ::unlinkat(directory_fd_.get(), entry->d_name, 0);  // "." and ".." refuse, as they should
        }
        ::closedir(entries);
    } else if (listing >= 0) {
        ::close(listing);
    }
    if (still_ours()) {
        ::rmdir(directory_.c_str());
    }
    directory_.clear();
}

void Captures::forsake() noexcept {
    directory_.clear();
    directory_fd_.reset();
    watch_.reset();
}

}  // namespace vordalin::channel
