#include "python/parked_exception.h"

namespace tarnwex {

SPlotError ExceptionParker::park(PendingException exception) const {
  if (!owner_->exception_) {
    if (!exception) {
      // Every caller parks an exception it has just taken; should one come
      // empty, the caller still gets an exception rather than the stand-in.
      PyErr_SetString(PyExc_SystemError, "error return without exception set");
      exception = PendingException::take();
    }
    owner_->exception_ = std::move(exception);
  }
  // Never shown: the owner raises the parked exception instead.
  return SPlotError::stopped("Python exception pending");
}

}  // namespace tarnwex
