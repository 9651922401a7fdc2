#include "contracts/Basalt/Exception.h"

#include "contracts/Basalt/TraceSink.h"

namespace Basalt {

Exception::Exception(const std::string& message)
    : message_(std::make_shared<const std::string>(message)) {}

void CorruptionDetectedException::throwException(const std::string& text) {
    throw CorruptionDetectedException(text);
}

void MemoryResourceException::throwException(const std::string& text) {
    throw MemoryResourceException(text);
}

void InvalidInitializeException::throwException(const std::string& text) {
    throw InvalidInitializeException(text);
}

void NoPermissionException::throwException(const std::string& text) {
    throw NoPermissionException(text);
}

void TypeException::throwException(const std::string& text) { throw TypeException(text); }

void debugAndThrowAssertException(const char* expression, const char* file, int line,
                                  const char* function) {
    std::string text = "assertion failed: ";
    text += expression ? expression : "?";
    text += " at ";
    text += file ? file : "?";
    text += ':';
    text += std::to_string(line);
    text += " in ";
    text += function ? function : "?";
    traceSink().write("BasaltAssert", traceLevelError, file, line, function, text);
    throw AssertException(text);
}

}  // namespace Basalt
