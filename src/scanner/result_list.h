// One result list of a scanner: the objects it found, owned by the list and handed to the host as
// pointers to their host interface.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace bw {

class ResultList {
  public:
    ResultList() = default;
    ResultList(const ResultList&) = delete;
    ResultList& operator=(const ResultList&) = delete;
    ~ResultList() { Release(); }

    // Takes ownership of `item`; the host sees it as an `Interface*`. Returns the item.
    template <class Interface, class Item>
    Item* Append(std::unique_ptr<Item> item) {
        Item* raw = item.get();
        entries_.push_back(
            Entry{static_cast<Interface*>(raw), Owned(item.release(), &DeleteAs<Item>)});
        return raw;
    }

    // The host's pointer of item `index`; null outside 0 to size minus 1.
    void* HostAt(int64_t index) const {
        if (index < 0 || static_cast<uint64_t>(index) >= entries_.size()) return nullptr;
        return entries_[static_cast<size_t>(index)].host;
    }

    // The item itself, as the type it was appended with.
    template <class Item>
    Item* At(size_t index) const {
        return static_cast<Item*>(entries_[index].object.get());
    }

    size_t size() const { return entries_.size(); }
    bool empty() const { return entries_.empty(); }

    // Destroys every item, last first, and empties the list.
    void Release() {
        while (!entries_.empty())
            entries_.pop_back();
    }

  private:
    using Owned = std::unique_ptr<void, void (*)(void*)>;
    struct Entry {
        void* host;
        Owned object;
    };
    template <class Item>
    static void DeleteAs(void* object) {
        delete static_cast<Item*>(object);
    }

    std::vector<Entry> entries_;
};

}  // namespace bw
