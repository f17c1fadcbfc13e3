#include "py/aio.hpp"

#include "aio_source.hpp"

namespace vordalin::py {

Ref aio(const char* name) {
    // Kept in sys.modules by its name: a second interpreter never imports this module.
    static PyObject* module = nullptr;
    if (module == nullptr) {
        Ref code = Ref::steal(Py_CompileString(kAioSource, "vordalin/_aio.py", Py_file_input));
        module = Ref::steal(PyImport_ExecCodeModule("vordalin._aio", code.get())).release();
    }
    return Ref::steal(PyObject_GetAttrString(module, name));
}

}  // namespace vordalin::py
