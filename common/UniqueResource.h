#pragma once
// A move-only owner of one operating-system resource (a descriptor, a socket,
// a handle), closed exactly once. Traits name the raw type and say what is
// invalid, what is open and how to close:
//   struct Traits {
//       using Native = ...;
//       static Native invalid();
//       static bool valid(Native);
//       static void close(Native);
//   };
// Like any value, one thread changes the owner at a time; others may use
// get() while the owner keeps the resource open.

template <typename Traits>
class UniqueResource {
public:
    using Native = typename Traits::Native;

    UniqueResource() = default;
    explicit UniqueResource(Native resource) : resource_(resource) {}
    ~UniqueResource() { reset(); }
    UniqueResource(UniqueResource&& other) noexcept : resource_(other.release()) {}
    UniqueResource& operator=(UniqueResource&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    UniqueResource(const UniqueResource&) = delete;
    UniqueResource& operator=(const UniqueResource&) = delete;

    Native get() const { return resource_; }
    bool valid() const { return Traits::valid(resource_); }
    Native release() {
        const Native resource = resource_;
        resource_ = Traits::invalid();
        return resource;
    }
    void reset(Native resource = Traits::invalid()) {
        if (valid()) {
            Traits::close(resource_);
        }
        resource_ = resource;
    }

private:
    Native resource_ = Traits::invalid();
};
