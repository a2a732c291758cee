// Owners for the C handles of GLib: a strong GObject reference and a GError.
#pragma once

#include <glib-object.h>

#include <utility>

namespace termiva::platform::gtk {

// Holds one reference to a GObject; copying takes another, destruction drops it.
template <class T>
class GObjectRef {
public:
    GObjectRef() = default;
    // Adopts a reference the caller already owns (a "transfer full" return value).
    static GObjectRef adopt(T* object) {
        GObjectRef ref;
        ref.m_object = object;
        return ref;
    }
    // Takes a new reference to an object owned elsewhere.
    static GObjectRef share(T* object) {
        if (object) g_object_ref(object);
        return adopt(object);
    }
    GObjectRef(const GObjectRef& other) : m_object(other.m_object) {
        if (m_object) g_object_ref(m_object);
    }
    GObjectRef(GObjectRef&& other) noexcept : m_object(std::exchange(other.m_object, nullptr)) {}
    GObjectRef& operator=(GObjectRef other) noexcept {
        std::swap(m_object, other.m_object);
        return *this;
    }
    ~GObjectRef() {
        if (m_object) g_object_unref(m_object);
    }
    T* get() const { return m_object; }
    explicit operator bool() const { return m_object != nullptr; }

private:
    T* m_object = nullptr;
};

// Holds one reference to a boxed, reference-counted value with its own ref/unref pair.
template <class T, T* (*Ref)(T*), void (*Unref)(T*)>
class BoxedRef {
public:
    BoxedRef() = default;
    static BoxedRef share(T* value) {
        BoxedRef ref;
        ref.m_value = value ? Ref(value) : nullptr;
        return ref;
    }
    BoxedRef(const BoxedRef& other) : m_value(other.m_value ? Ref(other.m_value) : nullptr) {}
    BoxedRef(BoxedRef&& other) noexcept : m_value(std::exchange(other.m_value, nullptr)) {}
    BoxedRef& operator=(BoxedRef other) noexcept {
        std::swap(m_value, other.m_value);
        return *this;
    }
    ~BoxedRef() {
        if (m_value) Unref(m_value);
    }
    T* get() const { return m_value; }
    explicit operator bool() const { return m_value != nullptr; }

private:
    T* m_value = nullptr;
};

// A GError out-parameter that frees itself.
class GErrorHolder {
public:
    GErrorHolder() = default;
    GErrorHolder(const GErrorHolder&) = delete;
    GErrorHolder& operator=(const GErrorHolder&) = delete;
    ~GErrorHolder() {
        if (m_error) g_error_free(m_error);
    }
    GError** out() { return &m_error; }
    explicit operator bool() const { return m_error != nullptr; }
    const char* message() const { return m_error ? m_error->message : ""; }

private:
    GError* m_error = nullptr;
};

}  // namespace termiva::platform::gtk
