#pragma once

#include <functional>
#include <utility>

namespace Mem {

// The callbacks through which a table facade reports to the collection's owner: a changed value
// (W), a changed key (K) and a second key callback, a change of the attach state (after attach
// and detach), and whether the table became usable (true) or was detached (false). Each one left
// empty does nothing.
//
// suppressKeyNotifications() silences the value and key callbacks until
// restoreKeyNotifications(); the facade does so when asynchronous shadow mode begins, where the
// owner must not hear of keys one by one. keyNotifications() says whether they are heard.
//
// Thread safety: the owning entity's thread only.
template <class K, class W>
class Notify {
  public:
    using ValueCallback = std::function<void(const W&)>;
    using KeyCallback = std::function<void(const K&)>;
    using ChangeCallback = std::function<void()>;
    using AttachStateCallback = std::function<void(bool)>;

    Notify() = default;
    Notify(ValueCallback value, KeyCallback key, KeyCallback key2, ChangeCallback change,
           AttachStateCallback attachState)
        : value_(std::move(value)),
          key_(std::move(key)),
          key2_(std::move(key2)),
          change_(std::move(change)),
          attachState_(std::move(attachState)) {}

    void value(const W& value) const {
        if (keyNotifications_ && value_) value_(value);
    }
    void key(const K& key) const {
        if (keyNotifications_ && key_) key_(key);
    }
    void key2(const K& key) const {
        if (keyNotifications_ && key2_) key2_(key);
    }
    void change() const {
        if (change_) change_();
    }
    void attachState(bool usable) const {
        if (attachState_) attachState_(usable);
    }

    bool keyNotifications() const { return keyNotifications_; }
    void suppressKeyNotifications() { keyNotifications_ = false; }
    // The owner's value and key callbacks are called again (a shadow's first synchronisation
    // completed).
    void restoreKeyNotifications() { keyNotifications_ = true; }

  private:
    ValueCallback value_;
    KeyCallback key_;
    KeyCallback key2_;
    ChangeCallback change_;
    AttachStateCallback attachState_;
    bool keyNotifications_ = true;
};

}  // namespace Mem
