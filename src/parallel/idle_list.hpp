// The workers that sleep waiting for work, the most recent first. The list is intrusive: each
// worker's entry lives in the worker's own state, so that listing a worker allocates nothing. Its
// owner (the pool) guards it with its mutex.
#pragma once

#include "parallel/parker.hpp"

namespace mirvanta::parallel {

class IdleList {
public:
    // A worker's place on the list, with the parker it sleeps on.
    class Entry {
    public:
        Entry() noexcept = default;
        Entry(const Entry&) = delete;
        Entry& operator=(const Entry&) = delete;

        Parker parker;

    private:
        friend class IdleList;
        Entry* newer_ = nullptr;
        Entry* older_ = nullptr;
        bool listed_ = false;
    };

    void add(Entry& entry) noexcept {
        entry.older_ = newest_;
        entry.newer_ = nullptr;
        if (newest_ != nullptr) newest_->newer_ = &entry;
        newest_ = &entry;
        entry.listed_ = true;
    }

    // False when the entry was not listed: a waker took it off.
    bool remove(Entry& entry) noexcept {
        if (!entry.listed_) return false;
        if (entry.older_ != nullptr) entry.older_->newer_ = entry.newer_;
        (entry.newer_ != nullptr ? entry.newer_->older_ : newest_) = entry.older_;
        entry.listed_ = false;
        return true;
    }

    // The most recently listed entry, taken off the list; null when the list is empty.
    Entry* pop() noexcept {
        Entry* entry = newest_;
        if (entry != nullptr) remove(*entry);
        return entry;
    }

private:
    Entry* newest_ = nullptr;
};

}  // namespace mirvanta::parallel
