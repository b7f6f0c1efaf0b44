// Growable arrays and the sorted case-insensitive table.
#pragma once
#include <algorithm>
#include <cstddef>
#include <vector>
#include "Strings.h"

// A growable array of fixed-size elements; vec<unsigned char> is the byte buffer.
template <class T>
class vec {
public:
    vec() {}
    size_t Count() const { return items_.size(); }
    bool IsEmpty() const { return items_.empty(); }
    T& operator[](size_t i) { return items_[i]; }
    const T& operator[](size_t i) const { return items_[i]; }
    T* Data() { return items_.data(); }
    const T* Data() const { return items_.data(); }
    void Add(const T& item) { items_.push_back(item); }
    void Append(const T* items, size_t count) { items_.insert(items_.end(), items, items + count); }
    void Insert(size_t pos, const T& item) { items_.insert(items_.begin() + pos, item); }
    void Delete(size_t pos, size_t count = 1) { items_.erase(items_.begin() + pos, items_.begin() + pos + count); }
    void Clear() { items_.clear(); }
    void Reserve(size_t count) { items_.reserve(count); }
    void Resize(size_t count) { items_.resize(count); }
    typename std::vector<T>::iterator begin() { return items_.begin(); }
    typename std::vector<T>::iterator end() { return items_.end(); }
    typename std::vector<T>::const_iterator begin() const { return items_.begin(); }
    typename std::vector<T>::const_iterator end() const { return items_.end(); }
protected:
    std::vector<T> items_;
};

// An array of owned elements: removing an element deletes it.
template <class T>
class ivec : public vec<T*> {
public:
    ivec() {}
    ivec(const ivec&) = delete;
    ivec& operator=(const ivec&) = delete;
    ~ivec() { Clear(); }
    void Delete(size_t pos, size_t count = 1) {
        for (size_t i = pos; i < pos + count; ++i) delete this->items_[i];
        vec<T*>::Delete(pos, count);
    }
    void Clear() {
        for (T* item : this->items_) delete item;
        this->items_.clear();
    }
};

template <class K, class V>
struct assoc {
    assoc(const K& k, const V& v) : key(k), value(v) {}
    K key;
    V value;
};

// A sorted table of texts, one entry per key, keys compared without regard to case.
class map : public ivec<assoc<keystring, string> > {
public:
    // The value for key, or a null string.
    string Get(const keystring& key) const {
        size_t i = Find(key);
        return i < Count() ? (*this)[i]->value : string();
    }
    bool Has(const keystring& key) const { return Find(key) < Count(); }
    void Set(const keystring& key, const string& value) {
        size_t pos = LowerBound(key);
        if (pos < Count() && (*this)[pos]->key == key) (*this)[pos]->value = value;
        else Insert(pos, new assoc<keystring, string>(key, value));
    }
    bool Remove(const keystring& key) {
        size_t i = Find(key);
        if (i >= Count()) return false;
        Delete(i);
        return true;
    }
    // Index of key, or Count() when absent (binary search).
    size_t Find(const keystring& key) const {
        size_t pos = LowerBound(key);
        return pos < Count() && (*this)[pos]->key == key ? pos : Count();
    }
private:
    size_t LowerBound(const keystring& key) const {
        auto it = std::lower_bound(begin(), end(), key,
            [](const assoc<keystring, string>* a, const keystring& k) { return a->key < k; });
        return size_t(it - begin());
    }
};
