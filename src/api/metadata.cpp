// SessionMetadata, WindowMetadata, CommandResult, Mark and RunResult: read-only values, made only by the module.
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

const py::TypeSpec& class_spec(std::type_identity<core::PaneMark>) {
    return value_spec<core::PaneMark>();
}

const py::TypeSpec& class_spec(std::type_identity<core::RunResult>) {
    return value_spec<core::RunResult>();
}

}  // namespace vordalin::api
