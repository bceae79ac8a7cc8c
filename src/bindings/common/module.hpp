// CORVANE_MODULE(name, m): an extension module whose initialisation failure
// reaches the importer as the original exception.
//
// nanobind's NB_MODULE chains an ImportError ("Encountered an error while
// initializing the extension.") onto any exception raised while the module
// body runs.  A plain Python module raises the exception itself: importing
// corvane.delmoor without data/scene_index.jsonl must raise FileNotFoundError,
// not an ImportError wrapping it.  This macro is NB_MODULE with that one
// difference; it uses the same nanobind entry points as NB_MODULE, hence the
// version check below (pyproject.toml pins the same range).
#pragma once

#include <nanobind/nanobind.h>

#if NB_VERSION_MAJOR != 3 || NB_VERSION_MINOR != 1
#error "CORVANE_MODULE follows NB_MODULE of nanobind 3.1; check it against the new version and update the pin"
#endif

#define CORVANE_MODULE_IMPL(name, variable) CORVANE_MODULE_IMPL2(name, variable)
#define CORVANE_MODULE_IMPL2(name, variable)                                                             \
    static void corvane_##name##_exec_impl(nanobind::module_);                                           \
    static int corvane_##name##_exec(PyObject* m) {                                                      \
        nanobind::detail::internals = NB_CALL(nb_module_init)(NB_DOMAIN_STR, m);                         \
        if (!nanobind::detail::internals) return -1;                                                     \
        try {                                                                                            \
            corvane_##name##_exec_impl(nanobind::borrow<nanobind::module_>(m));                          \
            return 0;                                                                                    \
        } catch (nanobind::python_error & e) {                                                           \
            e.restore(); /* the original exception, unwrapped */                                         \
        } catch (const std::bad_alloc&) {                                                                \
            PyErr_NoMemory();                                                                            \
        } catch (const std::exception& e) {                                                              \
            PyErr_SetString(PyExc_ImportError, e.what());                                                \
        }                                                                                                \
        return -1;                                                                                       \
    }                                                                                                    \
    static PyObject* corvane_##name##_def = nullptr;                                                     \
    extern "C" [[maybe_unused]] NB_EXPORT PyObject* PyInit_##name(void);                                 \
    extern "C" PyObject* PyInit_##name(void) {                                                           \
        nanobind::detail::init_singletons();                                                             \
        if (!nanobind::detail::nb_backend_init(#name)) return nullptr;                                   \
        if (!corvane_##name##_def)                                                                       \
            corvane_##name##_def =                                                                       \
                NB_CALL(module_new)(#name, nullptr, (void*)corvane_##name##_exec, NB_ABI_MINOR_TAG);     \
        return corvane_##name##_def;                                                                     \
    }                                                                                                    \
    void corvane_##name##_exec_impl(nanobind::module_ variable)

#define CORVANE_MODULE(name, variable) CORVANE_MODULE_IMPL(name, variable)
