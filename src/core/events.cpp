#include "core/events.hpp"

#include "core/error.hpp"
#include "core/session.hpp"

namespace vordalin::core {

namespace {

EventsRecord opened(std::shared_ptr<channel::EventStream> stream) {
    if (!stream) {
        throw Error("tmux failed to start a control client for the events stream");
    }
    return {std::move(stream)};
}

}  // namespace

EventsRecord server_events(const ServerRecord& server) {
    std::shared_ptr<channel::EventStream> stream = channel::EventStream::open(server.socket, std::nullopt, false);
    if (!stream) {
        throw Error("no session runs on the server for an events stream to attach to");
    }
    return {std::move(stream)};
}

EventsRecord session_events(const SessionRecord& session, bool output) {
    return opened(channel::EventStream::open(session.socket, session_metadata(session).id, output));
}

}  // namespace vordalin::core
