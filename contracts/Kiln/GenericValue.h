#pragma once

#include <cstddef>
#include <new>
#include <string>
#include <utility>

#include "contracts/Basalt/Exception.h"
#include "contracts/Kiln/KilnType.h"
#include "contracts/Kiln/String.h"

namespace Kiln {

// One value of a type known only by its record: storage of the type's size and alignment (which
// the record does not carry; whoever hands out the value knows them) holding a value constructed
// through the record's generic table, and destroyed through it. Generic code holds values this
// way and passes get() wherever a generic function wants the value's address.
//
// The record must have a generic table with construct and destruct; otherwise construction
// raises Basalt::TypeException naming the type.
//
// Thread safety: a value; distinct objects may be used from distinct threads.
class GenericValue {
  public:
    struct Layout {
        std::size_t size;
        std::size_t alignment;
    };

    // A copy of the value at `source`, or the type's default value when `source` is null.
    GenericValue(const KilnType& type, Layout layout, const void* source = nullptr)
        : type_(&type), layout_(layout) {
        const GenericIf::Table* table = type.genericIf();
        if (table == nullptr || table->construct == nullptr || table->destruct == nullptr) {
            Basalt::TypeException::throwException("type " + std::string(type.name()) +
                                                  " has no generic value functions");
        }
        storage_ = ::operator new(layout.size, std::align_val_t(layout.alignment));
        try {
            table->construct(storage_, source);
        } catch (...) {
            release();
            throw;
        }
    }
    GenericValue(const GenericValue& other)
        : GenericValue(*other.type_, other.layout_, other.get()) {}
    GenericValue(GenericValue&& other) noexcept
        : type_(other.type_),
          layout_(other.layout_),
          storage_(std::exchange(other.storage_, nullptr)) {}
    GenericValue& operator=(GenericValue other) noexcept {
        std::swap(type_, other.type_);
        std::swap(layout_, other.layout_);
        std::swap(storage_, other.storage_);
        return *this;
    }
    ~GenericValue() {
        if (storage_ != nullptr) type_->genericIf()->destruct(storage_);
        release();
    }

    const KilnType& type() const { return *type_; }
    // The value's address (null only in a moved-from holder).
    void* get() { return storage_; }
    const void* get() const { return storage_; }

    // The value's text form (the type's strRep); raises Basalt::TypeException when the type has
    // no text form.
    String strRep() const {
        const GenericIf::Table* t = type_->genericIf();
        if (t->strRep == nullptr) missing("strRep");
        return t->strRep(storage_, *type_);
    }
    // Replaces the value with the one `text` stands for (the type's strepToValue). A text that
    // does not parse raises the parser's Kiln::RangeException and leaves a valid value.
    void strepToValueIs(const String& text) {
        const GenericIf::Table* t = type_->genericIf();
        if (t->strepToValue == nullptr) missing("strepToValue");
        t->strepToValue(storage_, text, *type_);
    }

  private:
    [[noreturn]] void missing(const char* function) const {
        Basalt::TypeException::throwException("type " + std::string(type_->name()) +
                                              " has no generic " + function);
    }
    void release() noexcept {
        if (storage_ != nullptr) ::operator delete(storage_, std::align_val_t(layout_.alignment));
        storage_ = nullptr;
    }

    const KilnType* type_;
    Layout layout_;
    void* storage_ = nullptr;
};

}  // namespace Kiln
