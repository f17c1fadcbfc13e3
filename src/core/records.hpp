#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "core/tmux.hpp"

namespace vordalin::core {

struct ServerRecord {
    Socket socket;
};

struct SessionRecord {
    std::string name;
    Socket socket;
};

struct WindowRecord {
    std::string session_name;
    std::uint32_t index = 0;
    Socket socket;
    std::string name;
};

struct PaneRecord {
    std::string session_name;
    std::uint32_t window_index = 0;
    std::uint32_t pane_index = 0;
    std::string pane_id;
    std::string title;
    Socket socket;
};

struct SessionMetadata {
    std::string id;
    std::string name;
    std::uint64_t created = 0;
    bool attached = false;
    std::optional<std::uint32_t> width;
    std::optional<std::uint32_t> height;
    std::uint32_t windows = 0;
};

struct WindowMetadata {
    std::uint32_t index = 0;
    std::string name;
    bool active = false;
    std::string layout;
    std::optional<std::uint32_t> width;
    std::optional<std::uint32_t> height;
    std::string flags;
};

struct LastCommandRecord {
    std::string pane_id;
    Socket socket;
};

// The text form shared by repr() and str(): Class(field=value, ...).
std::string text_form(const SessionRecord& record);
std::string text_form(const WindowRecord& record);
std::string text_form(const PaneRecord& record);
std::string text_form(const SessionMetadata& record);
std::string text_form(const WindowMetadata& record);
std::string text_form(const LastCommandRecord& record);

}  // namespace vordalin::core
