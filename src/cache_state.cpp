// CacheState: the per-instance tables and their validation rules.
#include "cache_state.h"

#include <algorithm>
#include <new>

namespace kestrine {

CacheState::~CacheState() {
    for (AbandonedFrame* node = abandoned_.load(std::memory_order_acquire); node;) {
        AbandonedFrame* next = node->next;
        delete node;
        node = next;
    }
    // Values go first, then (with the registry) the keys.
    for (Entry& entry : entries_) Py_CLEAR(entry.value);
}

int CacheState::traverse(visitproc visit, void* arg) const {
    for (const Entry& entry : entries_) Py_VISIT(entry.value);
    return key_registry_.traverse(visit, arg);
}

bool CacheState::ensure(KeyId k) {
    if (k < entries_.size()) return true;
    auto size = static_cast<std::size_t>(k) + 1;
    try {
        // Growing by doubling keeps fills linear. Every table gets its room before any grows,
        // so a failure leaves them all of one length.
        if (size > entries_.capacity()) {
            std::size_t capacity = std::max(size, entries_.capacity() * 2);
            entries_.reserve(capacity);
            meta_.reserve(capacity);
            links_.reserve(capacity);
        }
        entries_.resize(size);
        meta_.resize(size, kNoState);
        links_.resize(size, 0);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
    }
    return true;
}

EntryState CacheState::state_of(KeyId k) const {
    if (k >= meta_.size()) return EntryState::PermanentlyInvalid;
    std::uint8_t s = meta_[k] & kStateMask;
    return s == kNoState ? EntryState::PermanentlyInvalid : EntryState(s);
}

PyObject* CacheState::servable_value(KeyId k) const {
    if (k >= meta_.size() ||
        (meta_[k] & kStateMask) != static_cast<std::uint8_t>(EntryState::Valid))
        return nullptr;
    PyObject* value = entries_[k].value;
    return value ? Py_NewRef(value) : nullptr;
}

void CacheState::set_state(KeyId k, EntryState s) {
    std::uint8_t& meta = meta_[k];
    meta = static_cast<std::uint8_t>((meta & ~kStateMask) | static_cast<std::uint8_t>(s));
}

const IdSet CacheState::kNoIds;

bool CacheState::reserve_edges(KeyId k, std::uint32_t dependents, std::uint32_t dependencies) {
    Entry& entry = entries_[k];
    if (!entry.edges) {
        if (dependents == 0 && dependencies == 0) return true;
        entry.edges.reset(new (std::nothrow) Edges());
        if (!entry.edges) return false;
    }
    return entry.edges->dependents.reserve(dependents) &&
           entry.edges->dependencies.reserve(dependencies);
}

void CacheState::add_edge(KeyId dependency, KeyId dependent) {
    meta_[dependency] |= kNodeBit | kDependentsBit;
    meta_[dependent] |= kNodeBit;
    if (entries_[dependency].edges->dependents.insert(static_cast<std::uint32_t>(dependent)))
        entries_[dependent].edges->dependencies.insert(static_cast<std::uint32_t>(dependency));
}

namespace {

bool raise_no_memory() {
    PyErr_NoMemory();
    return false;
}

}  // namespace

bool CacheState::register_call(KeyId k, const KeyId* declared, std::size_t count) {
    if (has_state(k)) return true;
    KeyId highest = k;
    for (std::size_t i = 0; i < count; ++i) highest = std::max(highest, declared[i]);
    if (!ensure(highest)) return false;
    // Room first, then the edges: an edge is never added half.
    if (!reserve_edges(k, 0, static_cast<std::uint32_t>(count))) return raise_no_memory();
    for (std::size_t i = 0; i < count; ++i)
        if (!reserve_edges(declared[i], 1, 0)) return raise_no_memory();
    set_state(k, EntryState::Invalid);
    meta_[k] |= kNodeBit;
    for (std::size_t i = 0; i < count; ++i) add_edge(declared[i], k);
    return true;
}

bool CacheState::record_runtime_dependency(KeyId caller, KeyId callee) {
    if (!ensure(std::max(caller, callee))) return false;
    if (!reserve_edges(callee, 1, 0) || !reserve_edges(caller, 0, 1)) return raise_no_memory();
    add_edge(callee, caller);
    return true;
}

void CacheState::derive_state(KeyId k, bool changed_meanwhile) {
    // The forward edges are exactly the nodes whose dependents contain k; the outcome does
    // not depend on the order they are read in.
    bool saw_invalid = false;
    bool permanently = false;
    dependencies_of(k).for_each([&](std::uint32_t d) {
        EntryState s = state_of(d);
        if (s == EntryState::PermanentlyInvalid) permanently = true;
        if (s == EntryState::Invalid) saw_invalid = true;
    });
    if (permanently) {
        mark_permanently_invalid(k);
    } else if (saw_invalid) {
        invalidate(k);
    } else if (!changed_meanwhile) {
        revalidate(k);
    }
}

void CacheState::store_if_valid(KeyId k, PyObject* value) {
    if (state_of(k) != EntryState::Valid) {
        Py_DECREF(value);
        return;
    }
    PyObject* previous = entries_[k].value;
    entries_[k].value = value;
    Py_XDECREF(previous);
}

void CacheState::reach(std::uint32_t x) {
    demote_if_valid(meta_[x]);
    // A call computing right now that the walk reached computed from a changed value.
    if (meta_[x] & kInFlightBit)
        for (CallFrame& frame : call_stack_)
            if (frame.key_id == x) frame.touched = true;
}

void CacheState::invalidate(KeyId k) {
    // Iterative depth-first walk over the dependents, with no allocation: the pending stack
    // and then the list of visited calls are threaded through the links, and cycles are cut
    // by the visited bit. Calls nobody depends on are settled where they are met, so a wide
    // fan of them costs one byte each.
    if (k >= entries_.size()) return;
    constexpr std::uint32_t kEnd = 0xFFFFFFFFu;
    auto start = static_cast<std::uint32_t>(k);
    std::uint32_t pending = start;
    links_[start] = kEnd;
    meta_[start] |= kVisitedBit;
    std::uint32_t visited = kEnd;
    while (pending != kEnd) {
        std::uint32_t x = pending;
        pending = links_[x];
        links_[x] = visited;
        visited = x;
        reach(x);
        if (!(meta_[x] & kDependentsBit)) continue;
        dependents_of(x).for_each([&](std::uint32_t y) {
            std::uint8_t meta = meta_[y];
            if (meta & kVisitedBit) return;
            if (!(meta & kDependentsBit)) {
                reach(y);
                return;
            }
            meta_[y] = meta | kVisitedBit;
            links_[y] = pending;
            pending = y;
        });
    }
    for (std::uint32_t x = visited; x != kEnd; x = links_[x])
        meta_[x] &= static_cast<std::uint8_t>(~kVisitedBit);
}

void CacheState::revalidate(KeyId k) {
    if (has_state(k) && state_of(k) == EntryState::Invalid) set_state(k, EntryState::Valid);
}

bool CacheState::push_frame(KeyId k, bool track, const ThreadRecord* thread, std::uint32_t& token) {
    try {
        call_stack_.push_back({k, thread->incarnation.load(std::memory_order_relaxed), thread,
                               track, false, next_token_});
    } catch (const std::bad_alloc&) {
        return raise_no_memory();
    }
    meta_[k] |= kInFlightBit;
    token = next_token_++;
    return true;
}

bool CacheState::pop_frame(std::uint32_t token) {
    for (auto frame = call_stack_.end(); frame != call_stack_.begin();) {
        --frame;
        if (frame->token != token) continue;
        bool touched = frame->touched;
        KeyId k = frame->key_id;
        call_stack_.erase(frame);
        bool still_running = false;
        for (const CallFrame& other : call_stack_) still_running |= other.key_id == k;
        if (!still_running) meta_[k] &= static_cast<std::uint8_t>(~kInFlightBit);
        return touched;
    }
    return false;
}

bool CacheState::abandon_frame(std::uint32_t token) {
    auto* node = new (std::nothrow) AbandonedFrame{token, nullptr};
    if (!node) return raise_no_memory();
    node->next = abandoned_.load(std::memory_order_relaxed);
    while (!abandoned_.compare_exchange_weak(node->next, node, std::memory_order_release,
                                             std::memory_order_relaxed)) {
    }
    return true;
}

void CacheState::settle_abandoned_frames_slowly() {
    AbandonedFrame* node = abandoned_.exchange(nullptr, std::memory_order_acquire);
    while (node) {
        pop_frame(node->token);
        AbandonedFrame* next = node->next;
        delete node;
        node = next;
    }
}

void CacheState::forget_frames_of_ended_threads() {
    for (std::size_t i = call_stack_.size(); i-- > 0;) {
        const CallFrame& frame = call_stack_[i];
        if (frame.incarnation != frame.thread->incarnation.load(std::memory_order_acquire))
            pop_frame(frame.token);
    }
}

void CacheState::touch_all_frames() {
    for (CallFrame& frame : call_stack_) frame.touched = true;
}

bool CacheState::exchange_value(KeyId k, PyObject* value, PyObject*& previous) {
    if (!ensure(k)) {
        Py_DECREF(value);
        return false;
    }
    previous = entries_[k].value;
    entries_[k].value = value;
    return true;
}

PyObject* CacheState::take_value(KeyId k) {
    if (!has_value(k)) return nullptr;
    PyObject* old = entries_[k].value;
    entries_[k].value = nullptr;
    return old;
}

void CacheState::clear_all() {
    for (std::uint8_t& meta : meta_) demote_if_valid(meta);
    // A computation in flight may have read a value that is gone now.
    touch_all_frames();
    // The table keeps its storage for the values computed next.
    for (Entry& entry : entries_) Py_CLEAR(entry.value);
}

}  // namespace kestrine
