#pragma once

#include <new>
#include <utility>
#include <vector>

#include "py/access.hpp"
#include "py/python.hpp"
#include "py/ref.hpp"

namespace vordalin::py {

// The object layout of every class: the header, the access flag and one plain C++ record,
// built with placement new and destroyed in dealloc.
template <class Record>
struct Instance {
    PyObject_HEAD
    AccessFlag access;
    Record record;
};

template <class Record>
Instance<Record>& instance(PyObject* self) noexcept {
    return *reinterpret_cast<Instance<Record>*>(self);
}

template <class Record>
void dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    instance<Record>(self).record.~Record();
    auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_slot(self);
    Py_DECREF(reinterpret_cast<PyObject*>(type));
}

// Allocates an instance of `type` holding `record`.
template <class Record>
Ref make_instance(PyTypeObject* type, Record&& record) {
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    Ref object = Ref::steal(alloc(type, 0));
    auto& raw = instance<std::decay_t<Record>>(object.get());
    new (&raw.access) AccessFlag();
    new (&raw.record) std::decay_t<Record>(std::forward<Record>(record));
    return object;
}

// What a class is made of. The name is given as "builtins.<Class>", so __module__ is
// "builtins" and __qualname__ the bare class name.
struct TypeSpec {
    const char* name;
    int basicsize;
    const char* doc;    // nullptr: no docstring
    bool instantiable;  // false: the class refuses to be called
    newfunc new_slot;   // nullptr for classes without a constructor
    destructor dealloc_slot;
    reprfunc repr_slot;  // nullptr: the interpreter's default repr
    PyMethodDef* methods;
    PyGetSetDef* getsets;
    richcmpfunc compare_slot = nullptr;  // nullptr: identity comparison
    hashfunc hash_slot = nullptr;        // nullptr: identity hash (or none when comparing)
    // Further slots (a mapping's, an iterator's), as PyType_Slot entries.
    std::vector<PyType_Slot> extra_slots = {};
    // The collections.abc class the type is registered with ("MutableMapping"), if any.
    const char* abc = nullptr;
};

// Creates the type; throws ErrorAlreadySet on failure.
PyTypeObject* create_type(const TypeSpec& spec);

// Lazily created types are kept in one of these for the rest of the process. The module
// uses single-phase initialisation, so nothing would ever tear a type down again, and every
// instance must share one type object; the reference taken here is deliberately never
// released.
class LazyType {
public:
    explicit LazyType(const TypeSpec& (*make_spec)()) noexcept : make_spec_(make_spec) {}
    PyTypeObject* get();

private:
    const TypeSpec& (*make_spec_)();
    PyTypeObject* type_ = nullptr;
};

}  // namespace vordalin::py
