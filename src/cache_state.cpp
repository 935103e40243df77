// CacheState: the per-instance tables and their validation rules.
#include "cache_state.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>

namespace kestrine {

// ---------------------------------------------------------------------------------------
// Released

void Released::add(PyObject* object) {
    try {
        objects_.emplace_back(object);
    } catch (const std::bad_alloc&) {
        Py_DECREF(object);
    }
}

void Released::add(StoredKey* key) {
    if (!key) return;
    try {
        keys_.emplace_back(key);
    } catch (const std::bad_alloc&) {
        StoredKey::destroy(key);
    }
}

void Released::release() {
    // Each is taken off before it goes: a __del__ run here finds the list consistent.
    while (!objects_.empty()) {
        PyObject* object = objects_.back();
        objects_.pop_back();
        Py_DECREF(object);
    }
    while (!keys_.empty()) {
        StoredKey* key = keys_.back();
        keys_.pop_back();
        StoredKey::destroy(key);
    }
}

// ---------------------------------------------------------------------------------------
// CacheState

// The interpreter's allocator aligns its blocks to 16 bytes.
static_assert(alignof(CacheState) <= 16);

CacheState::~CacheState() {
    for (AbandonedFrame* node = abandoned_.load(std::memory_order_acquire); node;) {
        AbandonedFrame* next = node->next;
        delete node;
        node = next;
    }
    take_back_tallies(-1, false);
    for (std::size_t m = 0; m < methods_.size(); ++m) {
        if (m < kInlineSlots) {
            methods_[m]->~MethodSlot();
        } else {
            delete methods_[m];
        }
    }
    // Values go first, then (with the registry) the keys.
    for (Entry& entry : entries()) Py_CLEAR(entry.value);
    free_call_tables();
}

void CacheState::free_call_tables() {
    for (std::size_t k = 0; k < call_capacity_; ++k) entries_[k].~Entry();
    PyMem_Free(entries_);
    entries_ = nullptr;
    meta_ = nullptr;
    links_ = nullptr;
    calls_ = call_capacity_ = 0;
}

int CacheState::traverse(visitproc visit, void* arg) const {
    for (const Entry& entry : entries()) Py_VISIT(entry.value);
    return key_registry_.traverse(visit, arg);
}

namespace {
constexpr std::size_t kFirstCapacity = 4;
}  // namespace

bool CacheState::grow_to(KeyId k) {
    auto size = static_cast<std::size_t>(k) + 1;
    if (size > call_capacity_) {
        // One block for the three tables: a first call allocates once, not three times.
        // Growing by doubling keeps fills linear; the first block has room for a few calls,
        // since an instance seldom makes just one.
        constexpr std::size_t kCallBytes =
            sizeof(Entry) + sizeof(std::uint32_t) + sizeof(std::uint8_t);
        std::size_t capacity = std::max({size, call_capacity_ * 2, kFirstCapacity});
        void* block =
            capacity <= PY_SSIZE_T_MAX / kCallBytes ? PyMem_Malloc(capacity * kCallBytes) : nullptr;
        if (!block) {
            PyErr_NoMemory();
            return false;
        }
        auto* entries = static_cast<Entry*>(block);
        auto* links = reinterpret_cast<std::uint32_t*>(entries + capacity);
        auto* meta = reinterpret_cast<std::uint8_t*>(links + capacity);
        std::size_t used = calls_;
        for (std::size_t i = 0; i < used; ++i) new (entries + i) Entry(std::move(entries_[i]));
        for (std::size_t i = used; i < capacity; ++i) new (entries + i) Entry();
        if (used) {
            std::memcpy(links, links_, used * sizeof(std::uint32_t));
            std::memcpy(meta, meta_, used);
        }
        std::fill(links + used, links + capacity, 0u);
        std::fill(meta + used, meta + capacity, kNoState);
        free_call_tables();
        entries_ = entries;
        links_ = links;
        meta_ = meta;
        call_capacity_ = capacity;
    }
    calls_ = size;
    return true;
}

EntryState CacheState::state_of(KeyId k) const {
    if (k >= calls_) return EntryState::PermanentlyInvalid;
    std::uint8_t s = meta_[k] & kStateMask;
    return s == kNoState ? EntryState::PermanentlyInvalid : EntryState(s);
}

PyObject* CacheState::servable_value(KeyId k) const {
    if (k >= calls_ || (meta_[k] & kStateMask) != static_cast<std::uint8_t>(EntryState::Valid))
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
    // Most calls declare nothing: they get no edges.
    if (count && !reserve_edges(k, 0, static_cast<std::uint32_t>(count))) return raise_no_memory();
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

void CacheState::store_if_valid(KeyId k, PyObject* value, Released& released) {
    if (state_of(k) != EntryState::Valid) {
        released.add(value);
        return;
    }
    if (!store_value(k, value, released)) PyErr_Clear();  // not stored: the caller has it
}

bool CacheState::store_value(KeyId k, PyObject* value, Released& released) {
    if (!ensure(k)) {
        Py_DECREF(value);
        return false;
    }
    Entry& entry = entries_[k];
    if (entry.value) {
        released.add(entry.value);
        entry.value = value;
        return true;
    }
    meta_[k] &= static_cast<std::uint8_t>(~kDroppedBit);
    if (entry.method == kNoMethod) {
        entry.value = value;
        return true;
    }
    MethodSlot& slot = *methods_[entry.method];
    if (slot.maxsize == 0) {
        // Nothing of a method that stores nothing is kept for its own sake.
        entry.value = value;
        drop_value(k, released);
        return true;
    }
    if (slot.maxsize > 0 && slot.count >= static_cast<std::size_t>(slot.maxsize)) {
        // The new value takes the evicted one's place, so it is swept last.
        std::size_t place = sweep(slot);
        auto victim = slot.ring[place];
        entries_[victim].ring_pos = kNotInRing;
        drop_value(victim, released);
        slot.ring[place] = static_cast<std::uint32_t>(k);
        slot.hand = place + 1 == slot.ring.size() ? 0 : place + 1;
        entry.ring_pos = static_cast<std::uint32_t>(place);
    } else {
        if (slot.maxsize > 0) {
            // Only a bounded method keeps a ring: an unbounded one only counts.
            try {
                slot.ring.push_back(static_cast<std::uint32_t>(k));
            } catch (const std::bad_alloc&) {
                Py_DECREF(value);
                PyErr_NoMemory();
                return false;
            }
            entry.ring_pos = static_cast<std::uint32_t>(slot.ring.size() - 1);
        }
        ++slot.count;
    }
    entry.referenced = 0;
    entry.value = value;
    return true;
}

std::size_t CacheState::sweep(MethodSlot& slot) {
    // The hand wraps by comparison: a division on every evicting miss costs more than
    // the rest of the sweep. It is past the end only after the ring shrank.
    std::size_t size = slot.ring.size();
    std::size_t place = slot.hand < size ? slot.hand : slot.hand % size;
    // Within two turns: the first clears every mark it passes.
    for (;;) {
        std::atomic_ref<std::uint8_t> mark(entries_[slot.ring[place]].referenced);
        if (!mark.load(std::memory_order_relaxed)) return place;
        mark.store(0, std::memory_order_relaxed);
        if (++place == size) place = 0;
    }
}

void CacheState::remove_from_ring(KeyId k) {
    Entry& entry = entries_[k];
    if (entry.method == kNoMethod) return;
    MethodSlot& slot = *methods_[entry.method];
    --slot.count;
    if (entry.ring_pos == kNotInRing) return;
    std::uint32_t last = slot.ring.back();
    slot.ring[entry.ring_pos] = last;
    entries_[last].ring_pos = entry.ring_pos;
    slot.ring.pop_back();
    entry.ring_pos = kNotInRing;
}

void CacheState::drop_value(KeyId k, Released& released) {
    Entry& entry = entries_[k];
    if (entry.value) released.add(entry.value);
    entry.value = nullptr;
    entry.referenced = 0;
    if (!dependents_of(k).empty()) {
        // Its dependents stay valid: it still is. Its edges stay, so that a change of what it
        // depends on still reaches them.
        meta_[k] |= kDroppedBit;
    } else if (!(meta_[k] & kInFlightBit)) {
        forget(k, released);
    }
}

void CacheState::forget(KeyId k, Released& released) {
    // Depth-first through the links, as invalidate walks, allocating nothing.
    constexpr std::uint32_t kEnd = 0xFFFFFFFFu;
    std::uint32_t pending = static_cast<std::uint32_t>(k);
    links_[k] = kEnd;
    while (pending != kEnd) {
        std::uint32_t x = pending;
        pending = links_[x];
        dependencies_of(x).for_each([&](std::uint32_t d) {
            if (d == x) return;
            IdSet& dependents = entries_[d].edges->dependents;
            dependents.erase(x);
            if (!dependents.empty()) return;
            meta_[d] &= static_cast<std::uint8_t>(~kDependentsBit);
            // A dropped value's call was kept for its dependents only.
            if ((meta_[d] & kDroppedBit) && !(meta_[d] & kInFlightBit) && !entries_[d].value) {
                meta_[d] &= static_cast<std::uint8_t>(~kDroppedBit);
                links_[d] = pending;
                pending = d;
            }
        });
        Entry& entry = entries_[x];
        entry.edges.reset();
        pass_on_hits(entry);
        entry.method = kNoMethod;
        entry.ring_pos = kNotInRing;
        entry.referenced = 0;
        meta_[x] = kNoState;
        links_[x] = 0;
        released.add(key_registry_.detach(x));
    }
}

void CacheState::reach(std::uint32_t x) {
    demote_if_valid(meta_[x]);
    // A call computing right now that the walk reached computed from a changed value.
    if (meta_[x] & kInFlightBit)
        for (CallFrame& frame : call_stack_)
            if (frame.key_id == x && frame.generation == generation_) frame.touched = true;
}

void CacheState::invalidate(KeyId k) {
    // Iterative depth-first walk over the dependents, with no allocation: the pending stack
    // and then the list of visited calls are threaded through the links, and cycles are cut
    // by the visited bit. Calls nobody depends on are settled where they are met, so a wide
    // fan of them costs one byte each.
    if (k >= calls_) return;
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
        call_stack_.emplace_back(CallFrame{k, generation_,
                                           thread->incarnation.load(std::memory_order_relaxed),
                                           thread, track, false, next_token_});
    } catch (const std::bad_alloc&) {
        return raise_no_memory();
    }
    meta_[k] |= kInFlightBit;
    token = next_token_++;
    return true;
}

FrameEnd CacheState::pop_frame(std::uint32_t token) {
    for (auto frame = call_stack_.end(); frame != call_stack_.begin();) {
        --frame;
        if (frame->token != token) continue;
        bool touched = frame->touched;
        KeyId k = frame->key_id;
        bool stale = frame->generation != generation_;
        call_stack_.erase(frame);
        // A stale frame's id names nothing in the tables of now.
        if (stale) return FrameEnd::Stale;
        bool still_running = false;
        for (const CallFrame& other : call_stack_)
            still_running |= other.key_id == k && other.generation == generation_;
        if (!still_running) meta_[k] &= static_cast<std::uint8_t>(~kInFlightBit);
        return touched ? FrameEnd::Touched : FrameEnd::Current;
    }
    return FrameEnd::Stale;
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

PyObject* CacheState::take_value(KeyId k) {
    if (!has_value(k)) return nullptr;
    remove_from_ring(k);
    PyObject* old = entries_[k].value;
    entries_[k].value = nullptr;
    entries_[k].referenced = 0;
    return old;
}

void CacheState::clear_all(Released& released) {
    for (std::uint8_t& meta : std::span(meta_, calls_)) {
        demote_if_valid(meta);
        // Every dependent is invalid now: nothing rests on a dropped value any more.
        meta &= static_cast<std::uint8_t>(~kDroppedBit);
    }
    // A computation in flight may have read a value that is gone now.
    touch_all_frames();
    // The tables keep their storage for the values computed next.
    for (Entry& entry : entries()) {
        if (entry.value) released.add(entry.value);
        entry.value = nullptr;
        entry.ring_pos = kNotInRing;
        entry.referenced = 0;
    }
    for (MethodSlot* slot : methods_) {
        slot->ring.clear();
        slot->hand = 0;
        slot->count = 0;
    }
}

namespace {

bool same_name(PyObject* a, PyObject* b) {
    // Exact strs compare natively; nothing else is ever a method name here.
    if (a == b) return true;
    Py_ssize_t length = PyUnicode_GET_LENGTH(a);
    int kind = PyUnicode_KIND(a);
    return length == PyUnicode_GET_LENGTH(b) && kind == PyUnicode_KIND(b) &&
           std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), std::size_t(length) * kind) == 0;
}

}  // namespace

void CacheState::unregister(KeyId k, Released& released) {
    if (k >= calls_) {
        released.add(key_registry_.detach(k));
    } else if (!entries_[k].value && dependents_of(k).empty() && !(meta_[k] & kInFlightBit)) {
        forget(k, released);
    }
}

void CacheState::forget_method(PyObject* name, Released& released) {
    for (std::size_t k = 0; k < key_registry_.id_limit(); ++k) {
        StoredKey* key = key_registry_.key_of(k);
        if (!key || !same_name(key->method_name(), name)) continue;
        if (k >= calls_) continue;  // a key with no entry has no state to forget
        if (PyObject* value = take_value(k)) released.add(value);
        invalidate(k);
        meta_[k] &= static_cast<std::uint8_t>(~kDroppedBit);
        if (!dependents_of(k).empty()) {
            meta_[k] |= kDroppedBit;
        } else if (!(meta_[k] & kInFlightBit)) {
            forget(k, released);
        }
    }
    int m = find_method(name);
    if (m < 0) return;
    // Tallies first: a hand-over still adding to the count ends before it is zeroed.
    take_back_tallies(m, false);
    MethodSlot& slot = *methods_[m];
    slot.hits.store(0, std::memory_order_relaxed);
    slot.misses = 0;
    for (Entry& entry : entries())
        if (entry.method == m) entry.hits = 0;
}

void CacheState::reset_into(CacheState& graveyard) {
    std::swap(entries_, graveyard.entries_);
    std::swap(meta_, graveyard.meta_);
    std::swap(links_, graveyard.links_);
    std::swap(calls_, graveyard.calls_);
    std::swap(call_capacity_, graveyard.call_capacity_);
    key_registry_.swap(graveyard.key_registry_);
    take_back_tallies(-1, false);  // before the counts are zeroed (see forget_method)
    for (MethodSlot* slot : methods_) {
        slot->ring.clear();
        slot->hand = 0;
        slot->count = 0;
        slot->hits.store(0, std::memory_order_relaxed);
        slot->misses = 0;
    }
    ++generation_;
}

// ---------------------------------------------------------------------------------------
// Methods: bounds and counts

int CacheState::find_method_by_characters(PyObject* name) const {
    for (std::size_t m = 0; m < methods_.size(); ++m)
        if (same_name(methods_[m]->name.get(), name)) return static_cast<int>(m);
    return -1;
}

int CacheState::add_method(PyObject* name, std::int64_t maxsize, bool& created) {
    if (methods_.size() >= kNoMethod) {
        PyErr_SetString(PyExc_OverflowError, "too many decorated methods on one instance");
        return -1;
    }
    // The first few live inside the state: most instances use few memoised methods.
    bool inline_slot = methods_.size() < kInlineSlots;
    MethodSlot* slot = inline_slot ? new (inline_slots_[methods_.size()]) MethodSlot()
                                   : new (std::nothrow) MethodSlot();
    if (!slot) {
        PyErr_NoMemory();
        return -1;
    }
    try {
        methods_.emplace_back(slot);
    } catch (const std::bad_alloc&) {
        if (inline_slot) {
            slot->~MethodSlot();
        } else {
            delete slot;
        }
        PyErr_NoMemory();
        return -1;
    }
    slot->name = Ref::borrow(name);
    slot->maxsize = maxsize;
    created = true;
    return static_cast<int>(methods_.size() - 1);
}

bool CacheState::set_maxsize(int m, std::int64_t maxsize, Released& released) {
    MethodSlot& slot = *methods_[m];
    if (maxsize <= 0) {
        // Unbounded: no ring to keep. A bound of 0: every value goes.
        for (std::uint32_t k : slot.ring) entries_[k].ring_pos = kNotInRing;
        slot.ring.clear();
        slot.hand = 0;
        slot.maxsize = maxsize;
        if (maxsize == 0)
            for (std::size_t k = 0; k < calls_; ++k)
                if (entries_[k].value && entries_[k].method == m) {
                    --slot.count;
                    drop_value(k, released);
                }
        return true;
    }
    if (slot.maxsize <= 0) {
        // A method bounded now gets its ring: its values in the order their keys were
        // registered, swept from the first.
        try {
            slot.ring.reserve(slot.count);
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
            return false;
        }
        for (std::size_t k = 0; k < calls_; ++k)
            if (entries_[k].value && entries_[k].method == m)
                slot.ring.push_back(static_cast<std::uint32_t>(k));
        std::sort(slot.ring.begin(), slot.ring.end(), [&](std::uint32_t a, std::uint32_t b) {
            return key_registry_.key_of(a)->serial() < key_registry_.key_of(b)->serial();
        });
        for (std::size_t place = 0; place < slot.ring.size(); ++place)
            entries_[slot.ring[place]].ring_pos = static_cast<std::uint32_t>(place);
        slot.hand = 0;
    }
    slot.maxsize = maxsize;
    while (slot.ring.size() > static_cast<std::size_t>(maxsize)) {
        std::size_t place = sweep(slot);
        KeyId victim = slot.ring[place];
        remove_from_ring(victim);
        slot.hand = slot.ring.empty() ? 0 : place % slot.ring.size();
        drop_value(victim, released);
    }
    return true;
}

void CacheState::pass_on_hits(Entry& entry) {
    // Readers under shared holds may count into the same field meanwhile. Most calls that
    // are forgotten (an evicting miss forgets one) have no hits to pass on: they skip the
    // read-modify-write.
    if (entry.hits && entry.method != kNoMethod)
        methods_[entry.method]->hits.fetch_add(entry.hits, std::memory_order_relaxed);
    entry.hits = 0;
}

void CacheState::note_shared_hit(KeyId k, ThreadRecord* record, bool announced) {
    Entry& entry = entries_[k];
    mark_used(entry);
    std::uint32_t m = entry.method;
    if (m == kNoMethod) return;
    std::atomic<std::uint64_t>* count = &methods_[m]->hits;
    if (announced && record) {
        std::uint32_t free_tally = ThreadRecord::kNoTally;
        for (std::uint32_t i = 0; i < ThreadRecord::kTallies; ++i) {
            ThreadRecord::HitTally& tally = record->tallies[i];
            const void* owner = tally.state.load(std::memory_order_relaxed);
            if (owner == this && tally.sink.load(std::memory_order_relaxed) == count) {
                tally.hits.store(tally.hits.load(std::memory_order_relaxed) + 1,
                                 std::memory_order_relaxed);
                record->mark_tally_used(i);
                return;
            }
            if (!owner && free_tally == ThreadRecord::kNoTally) free_tally = i;
        }
        // Every tally taken: now and then one that went unused goes over to this pair.
        if (free_tally == ThreadRecord::kNoTally && record->hand_over_due())
            free_tally = record->hand_over_tally();
        if (free_tally != ThreadRecord::kNoTally) {
            if (!tallied_.load(std::memory_order_relaxed))
                tallied_.store(true, std::memory_order_release);
            ThreadRecord::HitTally& tally = record->tallies[free_tally];
            tally.sink.store(count, std::memory_order_relaxed);
            tally.hits.store(1, std::memory_order_relaxed);
            tally.state.store(this, std::memory_order_release);
            record->mark_tally_used(free_tally);
            return;
        }
    }
    // The method's own count, which other threads' hits may write too.
    count->fetch_add(1, std::memory_order_relaxed);
}

void CacheState::take_back_tallies(int m, bool keep_hits) {
    if (!tallied_.load(std::memory_order_acquire)) return;
    const std::atomic<std::uint64_t>* only = m >= 0 ? &methods_[m]->hits : nullptr;
    for (ThreadRecord* r = first_thread_record(); r; r = r->next)
        for (ThreadRecord::HitTally& tally : r->tallies) {
            // The state's exclusive hold keeps its tallies' owners from counting meanwhile;
            // only a hand-over (which adds the hits itself) may free one first.
            const void* state = ThreadRecord::settled_state(tally, this);
            while (state == this) {
                std::atomic<std::uint64_t>* sink = tally.sink.load(std::memory_order_relaxed);
                if (only && sink != only) break;
                std::uint64_t hits = tally.hits.load(std::memory_order_relaxed);
                if (tally.state.compare_exchange_strong(state, nullptr,
                                                        std::memory_order_acq_rel)) {
                    if (keep_hits) sink->fetch_add(hits, std::memory_order_relaxed);
                    break;
                }
                state = ThreadRecord::settled_state(tally, this);
            }
        }
    if (m < 0) tallied_.store(false, std::memory_order_relaxed);
}

MethodCounts CacheState::counts(int m) {
    // The threads' tallies of the method move into its own count: after that, hits that
    // went elsewhere are all in it.
    take_back_tallies(m, true);
    const MethodSlot& slot = *methods_[m];
    MethodCounts out;
    out.hits = slot.hits.load(std::memory_order_acquire);
    for (const Entry& entry : entries())
        if (entry.method == m) out.hits += entry.hits;
    out.misses = slot.misses;
    out.maxsize = slot.maxsize;
    out.currsize = slot.count;
    return out;
}

}  // namespace kestrine
