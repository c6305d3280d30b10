#include "python/shm_log.hpp"

#include "python/py_ref.hpp"
#include "python/python.hpp"

namespace quelt::py {
namespace {

constexpr int kInfoLevel = 20;  // logging.INFO

class PythonShmLog final : public shm::InfoLog {
public:
    // Never touch the interpreter from a static destructor: it may be gone.
    ~PythonShmLog() override { (void)logger_.release(); }

    bool info_enabled() override {
        logger_ = current_logger();
        if (!logger_) return false;
        PyRef enabled = PyRef::steal(PyObject_CallMethod(logger_.get(), "isEnabledFor", "i", kInfoLevel));
        const int truth = enabled ? PyObject_IsTrue(enabled.get()) : -1;
        // Logging is a side channel: its failure must not fail the caller.
        if (truth < 0) PyErr_Clear();
        if (truth != 1) logger_ = PyRef();
        return truth == 1;
    }

    void info(std::string_view text) override {
        if (!logger_) return;
        PyRef message = PyRef::steal(
            PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
        PyRef result = message ? PyRef::steal(PyObject_CallMethod(logger_.get(), "info", "O", message.get()))
                               : PyRef();
        if (!result) PyErr_Clear();
        logger_ = PyRef();
    }

private:
    // Looked up at each use: the application may configure logging at any time.
    static PyRef current_logger() {
        PyRef logging = PyRef::steal(PyImport_ImportModule("logging"));
        PyRef logger = logging ? PyRef::steal(PyObject_CallMethod(logging.get(), "getLogger", "s", "quelt_shm::memory"))
                               : PyRef();
        if (!logger) PyErr_Clear();
        return logger;
    }

    PyRef logger_;
};

}  // namespace

shm::InfoLog& shm_memory_log() {
    static PythonShmLog log;  // holds no reference between two records
    return log;
}

}  // namespace quelt::py
