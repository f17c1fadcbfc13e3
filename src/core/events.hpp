// Event streams of a server or a session: which session their client attaches to, and the
// Event record as the outside sees it.
#pragma once

#include <memory>
#include <tuple>

#include "channel/events.hpp"
#include "channel/watch.hpp"
#include "core/records.hpp"

namespace vordalin::core {

using Event = channel::Event;

template <>
struct RecordTable<Event> {
    static constexpr const char* kClass = "Event";
    static constexpr bool kValue = true;
    static constexpr auto kFields =
        std::tuple{field("kind", &Event::kind),           field("session_id", &Event::session_id),
                   field("window_id", &Event::window_id), field("pane_id", &Event::pane_id),
                   field("name", &Event::name),           field("text", &Event::text)};
};

// What an Events object holds: its stream, until it is closed.
struct EventsRecord {
    std::shared_ptr<channel::EventStream> stream;
};

template <>
struct RecordTable<EventsRecord> {
    static constexpr const char* kClass = "Events";
};

// A watch on a pane, for the suite to look at the watch that waits sleep on.
struct WatchRecord {
    std::shared_ptr<channel::Watch> watch;
};

template <>
struct RecordTable<WatchRecord> {
    static constexpr const char* kClass = "_PaneWatch";
};

// A stream of the server's changes, from a client attached where a tmux process would act for
// lack of a target. Raises RuntimeError when no session runs there for it to attach to (or
// tmux cannot start).
EventsRecord server_events(const ServerRecord& server);
// A stream of the changes, and with `output` the output of the session's panes, from a client
// attached to the session. Raises NotFoundError when the session is not there.
EventsRecord session_events(const SessionRecord& session, bool output);

}  // namespace vordalin::core
