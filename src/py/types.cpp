#include "py/types.hpp"

namespace vordalin::py {

PyTypeObject* create_type(const TypeSpec& spec) {
    std::vector<PyType_Slot> slots;
    slots.push_back({Py_tp_dealloc, reinterpret_cast<void*>(spec.dealloc_slot)});
    if (spec.doc != nullptr) {
        slots.push_back({Py_tp_doc, const_cast<char*>(spec.doc)});
    }
    if (spec.new_slot != nullptr) {
        slots.push_back({Py_tp_new, reinterpret_cast<void*>(spec.new_slot)});
    }
    if (spec.repr_slot != nullptr) {
        slots.push_back({Py_tp_repr, reinterpret_cast<void*>(spec.repr_slot)});
        slots.push_back({Py_tp_str, reinterpret_cast<void*>(spec.repr_slot)});
    }
    if (spec.methods != nullptr) {
        slots.push_back({Py_tp_methods, spec.methods});
    }
    if (spec.getsets != nullptr) {
        slots.push_back({Py_tp_getset, spec.getsets});
    }
    if (spec.compare_slot != nullptr) {
        slots.push_back({Py_tp_richcompare, reinterpret_cast<void*>(spec.compare_slot)});
        // A class that compares by value and has no hash of its own is unhashable.
        hashfunc hash = spec.hash_slot != nullptr ? spec.hash_slot : PyObject_HashNotImplemented;
        slots.push_back({Py_tp_hash, reinterpret_cast<void*>(hash)});
    }
    slots.insert(slots.end(), spec.extra_slots.begin(), spec.extra_slots.end());
    slots.push_back({0, nullptr});

    // No BASETYPE (not subclassable), no GC (instances hold no Python objects), no dict or
    // weakref slots; classes are immutable like built-in ones.
    unsigned int flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE;
    if (!spec.instantiable) {
        flags |= Py_TPFLAGS_DISALLOW_INSTANTIATION;
    }
    PyType_Spec type_spec{spec.name, spec.basicsize, 0, flags, slots.data()};
    PyObject* type = PyType_FromSpec(&type_spec);
    if (type == nullptr) {
        throw ErrorAlreadySet{};
    }
    Ref owned = Ref::steal(type);
    if (spec.abc != nullptr) {
        // isinstance(x, collections.abc.MutableMapping) then holds, as for a dict.
        Ref abcs = Ref::steal(PyImport_ImportModule("collections.abc"));
        Ref abc = Ref::steal(PyObject_GetAttrString(abcs.get(), spec.abc));
        Ref registered = Ref::steal(PyObject_CallMethod(abc.get(), "register", "O", type));
    }
    return reinterpret_cast<PyTypeObject*>(owned.release());
}

PyTypeObject* LazyType::get() {
    if (type_ == nullptr) {
        PyTypeObject* created = create_type(make_spec_());
        // Creating a type can run arbitrary code (a collection); keep the first one made.
        if (type_ == nullptr) {
            type_ = created;
        } else {
            Py_DECREF(reinterpret_cast<PyObject*>(created));
        }
    }
    return type_;
}

}  // namespace vordalin::py
