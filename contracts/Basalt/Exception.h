#pragma once

#include <exception>
#include <memory>
#include <string>

namespace Basalt {

// The root of every exception the platform throws. Carries its message text unchanged.
// Copying never throws (the text is shared), as std::exception requires.
class Exception : public std::exception {
  public:
    explicit Exception(const std::string& message);

    const char* what() const noexcept override { return message_->c_str(); }
    const std::string& message() const noexcept { return *message_; }

  private:
    std::shared_ptr<const std::string> message_;
};

// A data structure was found in a state it can never legally reach (shared memory scribbled,
// a checksum mismatch, an impossible index).
class CorruptionDetectedException : public Exception {
  public:
    using Exception::Exception;
    [[noreturn]] static void throwException(const std::string& text);
};

// Memory (heap or shared memory) could not be obtained or mapped.
class MemoryResourceException : public Exception {
  public:
    using Exception::Exception;
    [[noreturn]] static void throwException(const std::string& text);
};

// An object was initialised with arguments or in a state that does not allow it.
class InvalidInitializeException : public Exception {
  public:
    using Exception::Exception;
    [[noreturn]] static void throwException(const std::string& text);
};

// The caller lacks the permission for an operation (for example, writing a reader's mapping).
class NoPermissionException : public Exception {
  public:
    using Exception::Exception;
    [[noreturn]] static void throwException(const std::string& text);
};

// A value or object was used as a type it is not (a conversion to an unrelated type), or asked
// for an operation its type does not offer (hashing a type that is no key).
class TypeException : public Exception {
  public:
    using Exception::Exception;
    [[noreturn]] static void throwException(const std::string& text);
};

// A BASALT_ASSERT condition was false. Thrown only by debugAndThrowAssertException().
class AssertException : public Exception {
  public:
    using Exception::Exception;
};

// Traces the failed assertion at level 0 to the trace sink and throws AssertException. The
// message is "assertion failed: <expression> at <file>:<line> in <function>", the expression
// text verbatim. Null arguments are printed as "?".
[[noreturn]] void debugAndThrowAssertException(const char* expression, const char* file, int line,
                                               const char* function);

}  // namespace Basalt

// Evaluates `cond` once; when it is false, throws Basalt::AssertException naming the condition.
// Always compiled in (also in release builds).
#define BASALT_ASSERT(cond)        \
    ((cond) ? static_cast<void>(0) \
            : ::Basalt::debugAndThrowAssertException(#cond, __FILE__, __LINE__, __func__))
