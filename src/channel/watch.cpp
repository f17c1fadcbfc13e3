#include "channel/watch.hpp"

namespace vordalin::channel {

std::unique_ptr<Watch> watch_pane(const tmux::Socket&, const std::string&) {
    return nullptr;
}

}  // namespace vordalin::channel
