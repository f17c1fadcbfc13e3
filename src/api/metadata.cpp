// SessionMetadata, WindowMetadata and CommandResult: read-only values, made only by the module.
#include "api/common.hpp"

namespace vordalin::api {

const py::TypeSpec& class_spec(std::type_identity<core::SessionMetadata>) {
    return value_spec<core::SessionMetadata>();
}

const py::TypeSpec& class_spec(std::type_identity<core::WindowMetadata>) {
    return value_spec<core::WindowMetadata>();
}

const py::TypeSpec& class_spec(std::type_identity<core::CommandResult>) {
    return value_spec<core::CommandResult>();
}

}  // namespace vordalin::api
