#include "core/last_command.hpp"

#include "core/error.hpp"
#include "text/text.hpp"

namespace vordalin::core {

namespace {

constexpr std::string_view kMarker = "__VORDALIN__";
constexpr std::string_view kReadingLine = "printf '__VORDALIN__%s\\n' \"$(fc -ln -1)\"";
constexpr FailureWording kFailure{"tmux command failed: "};

bool starts_with_marker(std::string_view text) {
    return text.substr(0, kMarker.size()) == kMarker;
}

}  // namespace

void rerun_last_command(const LastCommandRecord& record) {
    run_checked(typing(record.socket, record.pane_id, {"send-keys", "-t", record.pane_id, "fc -s", "Enter"}), kFailure);
}

std::string read_last_command(const LastCommandRecord& record) {
    run_checked(typing(record.socket, record.pane_id, {"send-keys", "-t", record.pane_id, kReadingLine, "Enter"}),
                kFailure);
    Command capture = on_target(reading(record.socket, {"capture-pane", "-p", "-t", record.pane_id}), record.pane_id);
    capture.traits.captures = true;
    std::string screen = checked_output(capture, kFailure);
    std::vector<std::string_view> lines = text::split_lines(screen);
    // The lowest answer on the screen is the newest; the echo of the typed line sits
    // behind the prompt and so never starts with the marker.
    for (auto line = lines.rbegin(); line != lines.rend(); ++line) {
        std::string_view answer = text::trim_start(*line);
        if (!starts_with_marker(answer)) {
            continue;
        }
        while (starts_with_marker(answer)) {
            answer.remove_prefix(kMarker.size());
        }
        return std::string(text::trim(answer));
    }
    throw Error("could not read last command");
}

}  // namespace vordalin::core
