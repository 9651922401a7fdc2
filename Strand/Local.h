#pragma once

// A growable array of plain values in this process's private memory, behind a read-only array
// interface. The writer's table validation keeps its per-slot marks in Strand::Local<bool>.
//
// Thread safety: one thread uses an array.

#include <cmath>
#include <cstdint>
#include <string>
#include <type_traits>

#include "contracts/Basalt/DebugHandler.h"
#include "contracts/Basalt/Exception.h"
#include "contracts/Kiln/Demangle.h"
#include "contracts/Mem/Local.h"
#include "contracts/Mem/VerU32.h"

namespace Strand {

// The array interface: readers may look; every mutating operation that an implementation does
// not provide refuses with Basalt::NoPermissionException.
template <class T>
class Interface {
  public:
    virtual ~Interface() = default;

    virtual const T* data() const = 0;
    virtual T* data() { Basalt::NoPermissionException::throwException("read-only Strand"); }
    virtual void cleanup() {
        Basalt::NoPermissionException::throwException("cleanup() invoked on read-only Strand");
    }
    virtual std::string rootPath() const = 0;
    virtual Mem::SharedMemWrapper::Mode mode() const = 0;
    virtual void push(const T& value) = 0;
    virtual void pop() = 0;
    virtual const T& get(std::uint64_t i) const = 0;
    virtual T& get(std::uint64_t i) {
        (void)i;
        Basalt::NoPermissionException::throwException("read-only Strand");
    }
    virtual void write(std::uint64_t i, const T& value) {
        (void)i;
        (void)value;
        Basalt::NoPermissionException::throwException("read-only Strand");
    }
    virtual std::uint64_t members() const = 0;
    virtual void capacityIs(std::uint64_t n) = 0;
};

template <class T>
class Local : public Interface<T> {
    static_assert(std::is_trivially_copyable_v<T>, "a Strand holds plain values");

  public:
    Local() { doResize(1); }
    Local(std::uint64_t n, const T& value) {
        if (n > capacity_) doResize(n);
        for (std::uint64_t i = 0; i < n; ++i) data_[i] = value;
        size_ = n;
    }

    const std::string& name() const { return name_; }
    std::uint64_t capacity() const { return capacity_; }

    const T* data() const override { return data_; }
    T* data() override { return data_; }
    std::string rootPath() const override { return "Local"; }
    Mem::SharedMemWrapper::Mode mode() const override { return Mem::SharedMemWrapper::Mode::readWrite; }

    void push(const T& value) override {
        if (size_ == capacity_) {
            const auto grown = static_cast<std::uint64_t>(
                std::ceil(static_cast<float>(size_) * growthFactor_));
            // An array constructed empty has capacity 0: it still gains room for the element.
            doResize(grown > size_ ? grown : size_ + 1);
        }
        data_[size_++] = value;
    }
    // Unchecked: the caller pops only a non-empty array.
    void pop() override { --size_; }
    // Unchecked: the caller keeps i below members().
    const T& get(std::uint64_t i) const override { return data_[i]; }
    T& get(std::uint64_t i) override { return data_[i]; }
    void write(std::uint64_t i, const T& value) override {
        if (i >= size_) {
            const std::string text = "Strand::Local::write() out-of-range index:" +
                                     std::to_string(i) + " size_:" + std::to_string(size_);
            Basalt::debugAndThrowAssertException(text.c_str(), __FILE__, __LINE__, __func__);
        }
        data_[i] = value;
    }
    std::uint64_t members() const override { return size_; }
    // Sets the size to n: a larger n adds zero elements (growing the region when needed), a
    // smaller n truncates.
    void capacityIs(std::uint64_t n) override {
        if (n >= size_) {
            if (n > capacity_) doResize(n);
            for (std::uint64_t i = size_; i < n; ++i) data_[i] = T{};
        }
        size_ = n;
    }

  private:
    // Resizes the region to n elements. A failure leaves size and contents unchanged.
    bool doResize(std::uint64_t n) {
        void* base = region_.attached()
                         ? region_.resize(Mem::multiplyOverflowCheck(n, sizeof(T)))
                         : region_.attach(Mem::multiplyOverflowCheck(n, sizeof(T)));
        if (base == nullptr) {
            if (n == 0) return false;
            const std::string text =
                "Strand::Local::doResize( n=" + std::to_string(n) + " ) unable to resize";
            BASALT_TRACE(debug_, 0, text);
            Basalt::MemoryResourceException::throwException(text);
        }
        data_ = static_cast<T*>(base);
        capacity_ = region_.size() / sizeof(T);
        return true;
    }

    std::shared_ptr<Basalt::Platform::DebugHandler> debug_ =
        Basalt::Platform::getDebugHandler("Strand::Local");
    std::string name_ = "Strand::Local<" + Kiln::demangleStdString(typeid(T).name()) + ">";
    std::uint64_t capacity_ = 0;
    std::uint64_t size_ = 0;
    Mem::Local region_;
    T* data_ = nullptr;
    float growthFactor_ = 2.0f;
};

}  // namespace Strand
