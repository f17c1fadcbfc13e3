#include "runner/together.hpp"

#include <poll.h>

#include "runner/child.hpp"
#include "runner/plumbing.hpp"
#include "runner/spawn.hpp"

namespace vordalin::runner {

namespace {

// One child of the batch; its Child kills and reaps it on every way out.
struct Running {
    Plumbing plumbing;
    Child child;
    bool started = false;
};

Result start_failure(std::string text) {
    Result result;
    result.start_failure = std::move(text);
    return result;
}

// Starts the child; a start failure goes into its slot.
void start(const std::vector<std::string>& argv, Running& run, std::optional<Result>& slot) {
    std::vector<char*> raw;
    if (!marshal(argv, raw)) {
        slot = start_failure("nul byte found in provided data");
        return;
    }
    if (int error = plumb(Streams{Input::kNull, Output::kCapture, Output::kCapture}, run.plumbing); error != 0) {
        slot = start_failure(os_error_text(error));
        return;
    }
    if (int error = spawn(SpawnRequest{raw.data(), run.plumbing.child_fds}, run.child); error != 0) {
        slot = start_failure(os_error_text(error));
        return;
    }
    // Our copies of the write ends must go, or the pipes never reach end of file.
    run.plumbing.child_ends = {};
    run.started = true;
}

// Reads what is ready on every open pipe until all have ended or the deadline passes.
void drain_all(std::vector<Running>& runs, Clock::time_point deadline) {
    for (;;) {
        std::vector<pollfd> watch;
        std::vector<Sink*> owners;
        for (Running& run : runs) {
            for (Sink& sink : run.plumbing.sinks) {
                if (sink.read_end.valid()) {
                    watch.push_back(pollfd{sink.read_end.get(), POLLIN, 0});
                    owners.push_back(&sink);
                }
            }
        }
        if (watch.empty() || wait_readable(watch, deadline) == 0) {
            return;
        }
        for (std::size_t i = 0; i < watch.size(); ++i) {
            if (watch[i].revents != 0 && !owners[i]->read_some()) {
                owners[i]->read_end.reset();
            }
        }
    }
}

}  // namespace

std::vector<std::optional<Result>> run_together(const std::vector<std::vector<std::string>>& argvs,
                                                Clock::time_point deadline) {
    std::vector<Running> runs(argvs.size());
    std::vector<std::optional<Result>> results(argvs.size());
    for (std::size_t i = 0; i < argvs.size(); ++i) {
        start(argvs[i], runs[i], results[i]);
    }
    drain_all(runs, deadline);
    for (std::size_t i = 0; i < runs.size(); ++i) {
        Running& run = runs[i];
        if (!run.started) {
            continue;
        }
        std::array<Sink, 2>& sinks = run.plumbing.sinks;
        if (sinks[0].read_end.valid() || sinks[1].read_end.valid()) {
            run.child.kill_and_reap();  // still writing at the deadline
            continue;
        }
        Result& result = results[i].emplace();
        result.returncode = wait_for_exit(run.child);
        result.out = std::move(sinks[0].bytes);
        result.err.assign(sinks[1].bytes.view());
    }
    return results;
}

}  // namespace vordalin::runner
