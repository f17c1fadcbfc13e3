#include "core/refusal.hpp"

#include "core/error.hpp"
#include "text/text.hpp"

namespace vordalin::core {

bool misses_target(std::string_view error) {
    for (std::string_view lead :
         {"no such ", "can't find ", "no server running", "error connecting", "server exited", "lost server"}) {
        if (error.starts_with(lead)) {
            return true;
        }
    }
    return false;
}

void run_or_refuse(const Command& command, std::string_view failure) {
    runner::Result result = run_tmux(command, runner::Output::kNull, runner::Output::kCapture);
    if (result.ok()) {
        return;
    }
    std::string error = text::decode_lossy(std::string_view(result.err));
    if (result.start_failure || misses_target(error)) {
        raise_failure(command, result, {failure});
    }
    throw Error(std::string(text::trim(error)), Error::Kind::kValue);
}

}  // namespace vordalin::core
