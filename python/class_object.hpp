#pragma once

#include "python/entry_guard.hpp"
#include "python/object_cell.hpp"
#include "python/py_failure.hpp"
#include "python/shared_borrow.hpp"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string_view>
#include <type_traits>
#include <utility>

namespace norvel::python {

// The class object kept in `cell`, created from `spec` the first time it is
// needed and reused for the life of the process. A creation failure is the
// interpreter's pending error (what module initialisation raises).
PyExpected<PyTypeObject*> class_object(ObjectCell& cell, PyType_Spec& spec);

// The same for every other entry point: there a class that cannot be created
// is an internal fault, reported after printing the interpreter's error.
PyExpected<PyTypeObject*> class_object_for_use(ObjectCell& cell, PyType_Spec& spec,
                                               std::string_view class_name);

// The new-instance slot of both classes: instances are only made inside
// the module, so any call of the class from Python is refused.
PyObject* refuse_construction(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept;

// Allocates an instance through the class's allocation slot; the caller
// constructs the value in place.
PyResult allocate_instance(PyTypeObject* type);

// Frees an instance whose value the caller already destroyed.
void free_instance(PyObject* object) noexcept;

// The layout shared by both classes: one value, moved in when the object is
// made and never modified afterwards, and the counter of shared borrows.
template <class Value>
struct ValueObject {
  PyObject_HEAD
  Value value;
  std::atomic<std::int64_t> borrow_count;
};

// Read access to the value of one object for as long as `borrow` lives.
template <class Value>
struct ValueBorrow {
  SharedBorrow borrow;
  const Value* value;
};

// A class whose instances each hold one `Value`: its class object, made at
// first need from the class's own slots and the rules both classes follow,
// and the making, reading and freeing of its instances. `dealloc` is the
// deallocation slot the class's slots must name.
template <class Value>
class ValueClass {
 public:
  using Object = ValueObject<Value>;

  // `qualified_name` is "builtins." and the class name.
  constexpr ValueClass(const char* qualified_name, PyType_Slot* slots)
      : spec_{.name = qualified_name,
              .basicsize = static_cast<int>(sizeof(Object)),
              .itemsize = 0,
              .flags = Py_TPFLAGS_DEFAULT,
              .slots = slots},
        name_(std::string_view(qualified_name).substr(std::string_view(qualified_name).rfind('.') + 1)) {}

  // A creation failure is the interpreter's pending error.
  PyExpected<PyTypeObject*> for_module() { return class_object(cell_, spec_); }
  // A creation failure is an internal fault.
  PyExpected<PyTypeObject*> for_use() { return class_object_for_use(cell_, spec_, name_); }

  // A new instance holding `value`; on failure the value stays with the caller.
  PyResult create(Value&& value) {
    PyExpected<PyTypeObject*> type = for_use();
    if (!type) {
      return std::unexpected(std::move(type.error()));
    }
    PyResult object = allocate_instance(*type);
    if (!object) {
      return object;
    }
    Object* instance = as_object(object->get());
    std::construct_at(&instance->value, std::move(value));
    std::construct_at(&instance->borrow_count, 0);
    return object;
  }

  // A shared borrow of an object already known to be an instance.
  static PyExpected<ValueBorrow<Value>> borrow(PyObject* object) {
    Object* instance = as_object(object);
    PyExpected<SharedBorrow> taken = SharedBorrow::take(object, instance->borrow_count);
    if (!taken) {
      return std::unexpected(std::move(taken.error()));
    }
    return ValueBorrow<Value>{std::move(*taken), &instance->value};
  }

  static void dealloc(PyObject* object) noexcept {
    dealloc_guard([object] {
      Object* instance = as_object(object);
      std::destroy_at(&instance->value);
      std::destroy_at(&instance->borrow_count);
      free_instance(object);
    });
  }

 private:
  // The value is moved into memory the interpreter allocated; a throwing
  // move there would leave an object that cannot be destroyed.
  static_assert(std::is_nothrow_move_constructible_v<Value>);

  static Object* as_object(PyObject* object) { return reinterpret_cast<Object*>(object); }

  PyType_Spec spec_;
  std::string_view name_;
  ObjectCell cell_;
};

}  // namespace norvel::python
