// SessionMetadata, WindowMetadata and CommandResult: read-only values, made only by the module.
#include "api/common.hpp"

namespace vordalin::api {

namespace {

// A snapshot class: its record's fields as attributes, nothing else.
template <class Snapshot>
const py::TypeSpec& snapshot_spec() {
    static std::vector<PyGetSetDef> getsets = attributes<Snapshot>();
    static const py::TypeSpec spec = record_spec<Snapshot>(nullptr, getsets.data());
    return spec;
}

}  // namespace

const py::TypeSpec& class_spec(std::type_identity<core::SessionMetadata>) {
    return snapshot_spec<core::SessionMetadata>();
}

const py::TypeSpec& class_spec(std::type_identity<core::WindowMetadata>) {
    return snapshot_spec<core::WindowMetadata>();
}

const py::TypeSpec& class_spec(std::type_identity<core::CommandResult>) {
    return snapshot_spec<core::CommandResult>();
}

}  // namespace vordalin::api
