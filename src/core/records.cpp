#include "core/records.hpp"

#include "text/text.hpp"

namespace vordalin::core {

namespace {

// Builds "Class(a=1, b=\"x\")" one field at a time.
class TextForm {
public:
    explicit TextForm(std::string_view class_name) : text_(class_name) { text_ += '('; }

    TextForm& text(std::string_view name, std::string_view value) {
        label(name) += text::quote(value);
        return *this;
    }
    TextForm& number(std::string_view name, std::uint64_t value) {
        label(name) += std::to_string(value);
        return *this;
    }
    TextForm& flag(std::string_view name, bool value) {
        label(name) += value ? "true" : "false";
        return *this;
    }
    TextForm& optional_text(std::string_view name, const std::optional<std::string>& value) {
        std::string& out = label(name);
        out += value ? "Some(" + text::quote(*value) + ")" : "None";
        return *this;
    }
    TextForm& optional_number(std::string_view name, const std::optional<std::uint32_t>& value) {
        std::string& out = label(name);
        out += value ? "Some(" + std::to_string(*value) + ")" : "None";
        return *this;
    }
    std::string finish() {
        text_ += ')';
        return std::move(text_);
    }

private:
    std::string& label(std::string_view name) {
        if (!first_) {
            text_ += ", ";
        }
        first_ = false;
        text_ += name;
        text_ += '=';
        return text_;
    }

    std::string text_;
    bool first_ = true;
};

}  // namespace

std::string text_form(const SessionRecord& r) {
    return TextForm("Session").text("name", r.name).optional_text("socket", r.socket).finish();
}

std::string text_form(const WindowRecord& r) {
    return TextForm("Window")
        .text("session_name", r.session_name)
        .number("index", r.index)
        .text("name", r.name)
        .optional_text("socket", r.socket)
        .finish();
}

std::string text_form(const PaneRecord& r) {
    return TextForm("Pane")
        .text("session_name", r.session_name)
        .number("window_index", r.window_index)
        .number("pane_index", r.pane_index)
        .text("pane_id", r.pane_id)
        .text("title", r.title)
        .optional_text("socket", r.socket)
        .finish();
}

std::string text_form(const SessionMetadata& r) {
    return TextForm("SessionMetadata")
        .text("id", r.id)
        .text("name", r.name)
        .number("created", r.created)
        .flag("attached", r.attached)
        .optional_number("width", r.width)
        .optional_number("height", r.height)
        .number("windows", r.windows)
        .finish();
}

std::string text_form(const WindowMetadata& r) {
    return TextForm("WindowMetadata")
        .number("index", r.index)
        .text("name", r.name)
        .flag("active", r.active)
        .text("layout", r.layout)
        .optional_number("width", r.width)
        .optional_number("height", r.height)
        .text("flags", r.flags)
        .finish();
}

std::string text_form(const LastCommandRecord& r) {
    return TextForm("LastCommand").text("pane_id", r.pane_id).optional_text("socket", r.socket).finish();
}

}  // namespace vordalin::core
