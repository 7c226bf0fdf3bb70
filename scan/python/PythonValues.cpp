#include "scan/python/PythonValues.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>

#include "config/Configuration.h"

namespace py = pybind11;

namespace tarvolen {
namespace {

// The settings held in single precision; the others are whole numbers.
bool isFloatSetting(const std::string& key) { return key == "pixel_deviation" || key == "alpha_coeff"; }

std::string typeName(const py::handle& value) { return py::str(py::type::of(value).attr("__name__")); }

std::string shown(const py::handle& value) { return py::repr(value); }

bool isNumpyBool(const py::handle& value) {
    const py::object type = py::type::of(value);
    const std::string name = py::str(type.attr("__name__"));
    return py::str(type.attr("__module__")).cast<std::string>() == "numpy" &&
           (name == "bool_" || name == "bool");
}

// An integer too large for 64 bits reads as the JSON reader reads such a
// number: as a double (which the range checks then refuse).
SettingValue integerValue(const py::handle& value) {
    const auto number = py::reinterpret_steal<py::object>(PyNumber_Index(value.ptr()));
    if (!number) throw py::error_already_set();
    int overflow = 0;
    const long long whole = PyLong_AsLongLongAndOverflow(number.ptr(), &overflow);
    if (whole == -1 && PyErr_Occurred()) throw py::error_already_set();
    if (overflow != 0) return overflow > 0 ? HUGE_VAL : -HUGE_VAL;
    return static_cast<std::int64_t>(whole);
}

// A Python value as the JSON value it stands for: booleans (NumPy's too),
// integers (anything with __index__) and other real numbers (anything with
// __float__); nothing for anything else (a string, None, a list ...).
std::optional<SettingValue> settingValueOf(const py::handle& value) {
    try {
        if (PyBool_Check(value.ptr()) || isNumpyBool(value))
            return SettingValue(PyObject_IsTrue(value.ptr()) == 1);
        if (PyIndex_Check(value.ptr())) return integerValue(value);
        if (PyFloat_Check(value.ptr()) || py::hasattr(value, "__float__")) {
            const double real = PyFloat_AsDouble(value.ptr());
            if (real == -1.0 && PyErr_Occurred()) throw py::error_already_set();
            return SettingValue(real);
        }
    } catch (const py::error_already_set&) {
        // A number that will not be one (complex): the wrong type.
    }
    return std::nullopt;
}

[[noreturn]] void raiseValueError(const std::string& message) { throw py::value_error(message); }

std::string knownKeys() {
    std::string keys;
    for (const auto& [key, value] : detectorSettings(DetectorParameters()))
        keys += (keys.empty() ? "" : ", ") + key;
    return keys;
}

// The shortest decimal that reads back as the same single-precision value:
// 0.01f is 0.01, not 0.009999999776482582.
double singlePrecisionValue(double stored) {
    char text[32];
    const auto result = std::to_chars(text, text + sizeof text, static_cast<float>(stored));
    return std::stod(std::string(text, result.ptr));
}

}  // namespace

py::object pythonText(const std::string& text) {
    PyObject* decoded = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
    if (decoded == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(decoded);
}

void applyPythonSettings(DetectorParameters& parameters, const py::dict& settings) {
    for (const auto& [keyObject, value] : settings) {
        if (!py::isinstance<py::str>(keyObject))
            raiseValueError("setting names are strings, not " + shown(keyObject));
        const std::string key = keyObject.cast<std::string>();
        if (!isDetectorSetting(key))
            raiseValueError(key + ": " + settingFaultText(SettingFault::UnknownKey, key) +
                            " (the settings are " + knownKeys() + ")");
        const std::optional<SettingValue> typed = settingValueOf(value);
        const SettingFault fault =
            typed ? applySettingValue(parameters, key, *typed) : SettingFault::WrongType;
        if (fault == SettingFault::WrongType)
            throw py::type_error(key + ": " + settingFaultText(fault, key) + " (got " + typeName(value) +
                                 " " + shown(value) + ")");
        if (fault != SettingFault::None)
            raiseValueError(key + ": " + settingFaultText(fault, key) + " (got " + shown(value) + ")");
    }
}

py::dict settingsDict(const DetectorParameters& parameters) {
    py::dict settings;
    for (const auto& [key, value] : detectorSettings(parameters)) {
        if (isFloatSetting(key)) {
            settings[py::str(key)] = py::float_(singlePrecisionValue(value));
        } else {
            settings[py::str(key)] = py::int_(static_cast<long long>(value));
        }
    }
    return settings;
}

py::object pythonValue(const nlohmann::ordered_json& value) {
    using Type = nlohmann::ordered_json::value_t;
    switch (value.type()) {
        case Type::null:
        case Type::discarded:
            return py::none();
        case Type::boolean:
            return py::bool_(value.get<bool>());
        case Type::number_integer:
            return py::int_(value.get<std::int64_t>());
        case Type::number_unsigned:
            return py::int_(value.get<std::uint64_t>());
        case Type::number_float:
            return py::float_(value.get<double>());
        case Type::string: {
            return pythonText(value.get_ref<const std::string&>());
        }
        case Type::array: {
            py::list list;
            for (const auto& item : value) list.append(pythonValue(item));
            return std::move(list);
        }
        case Type::object: {
            py::dict dict;
            for (const auto& [key, item] : value.items()) dict[pythonText(key)] = pythonValue(item);
            return std::move(dict);
        }
        case Type::binary:
            break;
    }
    throw py::value_error("a JSON value of no Python form");
}

}  // namespace tarvolen
