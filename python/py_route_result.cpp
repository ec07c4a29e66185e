#include "python/py_route_result.hpp"

#include <string>
#include <utility>

#include "python/class_object.hpp"
#include "python/entry_guard.hpp"
#include "python/new_list.hpp"
#include "python/number_format.hpp"

namespace norvel::python {
namespace {

using RouteResultClass = ValueClass<RouteRecord>;

PyResult path_value(const RouteRecord& record) {
  return new_list(record.path.size(),
                  [&](std::size_t i) { return api_result(PyLong_FromUnsignedLongLong(record.path[i])); });
}

PyResult route_type_value(const RouteRecord& record) {
  return api_result(PyUnicode_FromStringAndSize(record.route_type.data(),
                                                static_cast<Py_ssize_t>(record.route_type.size())));
}

PyResult node_count_value(const RouteRecord& record) {
  return api_result(PyLong_FromUnsignedLongLong(record.node_count));
}

template <double RouteRecord::*Field>
PyResult float_value(const RouteRecord& record) {
  return api_result(PyFloat_FromDouble(record.*Field));
}

PyResult repr_value(const RouteRecord& record) {
  std::string text = "Route(";
  text += record.route_type;
  text += ", dist=";
  text += format_fixed(record.total_distance_m, 0);
  text += "m, risk=";
  text += format_fixed(record.total_risk, 3);
  text += ", time=";
  text += format_fixed(record.estimated_time_min, 1);
  text += "min)";
  return api_result(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

// Every read goes through a shared borrow and builds a new object.
template <PyResult (*Build)(const RouteRecord&)>
PyResult read_record(PyObject* self) {
  PyExpected<ValueBorrow<RouteRecord>> record = RouteResultClass::borrow(self);
  if (!record) {
    return std::unexpected(std::move(record.error()));
  }
  return Build(*record->value);
}

template <PyResult (*Build)(const RouteRecord&)>
PyObject* getter(PyObject* self, void*) noexcept {
  return entry_guard([self] { return read_record<Build>(self); });
}

PyObject* route_repr(PyObject* self) noexcept {
  return entry_guard([self] { return read_record<repr_value>(self); });
}

PyGetSetDef route_getters[] = {
    {"path", getter<path_value>, nullptr, "", nullptr},
    {"total_distance_m", getter<float_value<&RouteRecord::total_distance_m>>, nullptr, "", nullptr},
    {"total_risk", getter<float_value<&RouteRecord::total_risk>>, nullptr, "", nullptr},
    {"total_familiarity", getter<float_value<&RouteRecord::total_familiarity>>, nullptr, "", nullptr},
    {"route_type", getter<route_type_value>, nullptr, "", nullptr},
    {"estimated_time_min", getter<float_value<&RouteRecord::estimated_time_min>>, nullptr, "", nullptr},
    {"node_count", getter<node_count_value>, nullptr, "", nullptr},
    {"comfort_score", getter<float_value<&RouteRecord::comfort_score>>, nullptr, "", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot route_result_slots[] = {
    {Py_tp_doc, const_cast<char*>("Résultat retourné à Python : un itinéraire avec ses métriques complètes")},
    {Py_tp_new, reinterpret_cast<void*>(refuse_construction)},
    {Py_tp_dealloc, reinterpret_cast<void*>(RouteResultClass::dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(route_repr)},
    {Py_tp_getset, route_getters},
    {0, nullptr},
};

constinit RouteResultClass route_result_class("builtins.PyRouteResult", route_result_slots);

}  // namespace

PyExpected<PyTypeObject*> route_result_class_for_module() { return route_result_class.for_module(); }

PyResult route_result_list(std::vector<RouteRecord>&& records) {
  // On a failure the records not yet moved go with the caller's vector.
  return new_list(records.size(), [&](std::size_t i) { return route_result_class.create(std::move(records[i])); });
}

}  // namespace norvel::python
