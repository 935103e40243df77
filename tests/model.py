"""Pure-Python reference model of one KestrineBase instance's cache, written from the
documented rules only (no import of kestrine); tests run it beside a real instance."""

VALID = "valid"
INVALID = "invalid"
PERMANENTLY_INVALID = "permanently invalid"
NO_KEY = "No cache key found for provided signature"

MISSING = object()


def make_key(method_name, arguments):
    """Key tuple of a call: arguments sorted by the bytes of their names, `self` left out."""
    items = sorted(
        ((name, value) for name, value in arguments.items() if name != "self"),
        key=lambda item: item[0].encode(),
    )
    return (method_name, tuple(items))


def display_key(key):
    return key[0] if not key[1] else key


class Method:  # a decorated method's options and declared dependencies

    def __init__(self, name, dependencies=(), use_cache=True, track=False, maxsize=None):
        self.name = name
        self.dependency_keys = [make_key(dep, kwargs) for dep, kwargs in dependencies]
        self.use_cache = use_cache
        self.track = track
        self.maxsize = maxsize


class Slot:  # a method's bound, counts and (when bounded) ring of calls with a value
    def __init__(self, maxsize):
        self.maxsize, self.ring, self.hand, self.hits, self.misses = maxsize, [], 0, 0, 0
        self.count = 0

    def bounded(self):
        return self.maxsize is not None and self.maxsize > 0


class InstanceModel:
    def __init__(self, methods=None):
        self.ids = {}  # key tuple -> KeyId (dict lookup: hash, then identity or ==)
        self.keys = []  # KeyId -> the first registered key tuple (None once forgotten)
        self.values = {}
        self.states = {}
        self.dependents = {}  # KeyId -> set of KeyIds that depend on it
        self.call_stack = []  # (KeyId, track_runtime_dependencies)
        self.methods = methods or {}  # method name -> Slot; bounds outlive a reset
        for slot in self.methods.values():
            slot.ring, slot.hand, slot.hits, slot.misses, slot.count = [], 0, 0, 0, 0
        self.method_of = {}  # KeyId -> method name, from its first miss or load
        self.referenced = set()  # second chance: hit since the last sweep passed them
        self.dropped = set()  # values the cache dropped while calls depended on them

    def slot(self, method):
        return self.methods.setdefault(method.name, Slot(method.maxsize))

    # Bounds: a ring per method, swept from its hand; a marked value is passed over once.

    def running(self, k):  # a computation of k other than the innermost call is under way
        return any(x == k for x, _ in self.call_stack[:-1])

    def take_value(self, k):
        value = self.values.pop(k)
        self.referenced.discard(k)
        if k not in self.method_of:
            return value
        slot = self.methods[self.method_of[k]]
        slot.count -= 1
        if k in slot.ring:
            i = slot.ring.index(k)
            slot.ring[i] = slot.ring[-1]
            slot.ring.pop()
        return value

    def sweep(self, slot):
        place = slot.hand % len(slot.ring)
        while slot.ring[place] in self.referenced:
            self.referenced.discard(slot.ring[place])
            place = (place + 1) % len(slot.ring)
        return place

    def drop_value(self, k):
        self.values.pop(k, None)
        self.referenced.discard(k)
        if self.dependents.get(k):
            self.dropped.add(k)
        elif not self.running(k):
            self.forget(k)

    def forget(self, k):
        pending = [k]
        while pending:
            x = pending.pop()
            for d in self.direct_dependencies(x):
                if d == x:
                    continue
                self.dependents[d].discard(x)
                if not self.dependents[d] and d in self.dropped and not self.running(d) \
                        and d not in self.values:
                    self.dropped.discard(d)
                    pending.append(d)
            self.states.pop(x, None)
            self.dependents.pop(x, None)
            self.method_of.pop(x, None)
            del self.ids[self.keys[x]]
            self.keys[x] = None

    def store_value(self, k, value):
        if k in self.values or k not in self.method_of:
            self.values[k] = value
            return
        self.dropped.discard(k)
        self.referenced.discard(k)
        slot = self.methods[self.method_of[k]]
        if slot.maxsize == 0:
            self.values[k] = value
            self.drop_value(k)
        elif slot.bounded() and slot.count >= slot.maxsize:
            place = self.sweep(slot)
            victim = slot.ring[place]
            self.drop_value(victim)
            slot.ring[place] = k
            slot.hand = (place + 1) % len(slot.ring)
            self.values[k] = value
        else:
            if slot.bounded():
                slot.ring.append(k)
            slot.count += 1
            self.values[k] = value

    def set_maxsize(self, method, maxsize):
        slot = self.slot(method)
        if not maxsize:  # unbounded keeps no ring; a bound of 0 drops every value
            slot.ring, slot.hand, slot.maxsize = [], 0, maxsize
            if maxsize == 0:
                for k in [k for k in self.values if self.method_of.get(k) == method.name]:
                    slot.count -= 1
                    self.drop_value(k)
            return
        if not slot.bounded():  # bounded now: a ring in registration order
            # Ids here are never reused: their order is the order of registration.
            slot.ring = sorted(k for k in self.values if self.method_of.get(k) == method.name)
            slot.hand = 0
        slot.maxsize = maxsize
        while len(slot.ring) > maxsize:
            place = self.sweep(slot)
            victim = slot.ring[place]
            self.values[victim] = self.take_value(victim)  # out of the ring, value kept
            slot.hand = place % len(slot.ring) if slot.ring else 0
            self.drop_value(victim)

    def cache_info(self, method):
        slot = self.methods.get(method.name) or Slot(method.maxsize)
        return (slot.hits, slot.misses, slot.maxsize, slot.count)

    def forget_method(self, name):
        """A class-wide cache_clear: reaches an instance the method has a slot on."""
        if name not in self.methods:
            return
        for k in [k for k, key in enumerate(self.keys) if key is not None and key[0] == name]:
            if k in self.values:
                self.take_value(k)
            self.invalidate(k)
            self.dropped.discard(k)
            if self.dependents.get(k):
                self.dropped.add(k)
            elif not any(x == k for x, _ in self.call_stack):
                self.forget(k)
        slot = self.methods[name]
        slot.hits = slot.misses = 0

    def get_or_insert(self, key):
        k = self.ids.get(key)
        if k is None:
            k = self.ids[key] = len(self.keys)
            self.keys.append(key)
        return k

    def lookup(self, method_name, kwargs):
        k = self.ids.get(make_key(method_name, kwargs))
        if k is None:
            raise KeyError(NO_KEY)
        return k

    def state_of(self, k):
        return self.states.get(k, PERMANENTLY_INVALID)

    def servable_value(self, k):
        if self.state_of(k) == VALID and k in self.values:
            return self.values[k]
        return MISSING

    def register_call(self, k, declared):
        if k in self.states:
            return
        self.states[k] = INVALID
        self.dependents.setdefault(k, set())
        for d in declared:
            self.dependents.setdefault(d, set()).add(k)

    def record_runtime_dependency(self, caller, callee):
        self.dependents.setdefault(caller, set())
        self.dependents.setdefault(callee, set()).add(caller)

    def direct_dependencies(self, k):
        return [x for x, members in self.dependents.items() if k in members]

    def dependents_closure(self, k):
        pending, visited, result = [k], {k}, []
        while pending:
            x = pending.pop()
            result.append(x)
            for y in self.dependents.get(x, ()):
                if y not in visited:
                    visited.add(y)
                    pending.append(y)
        return result

    def invalidate(self, k):
        for x in self.dependents_closure(k):
            if self.states.get(x) == VALID:
                self.states[x] = INVALID

    def revalidate(self, k):
        if self.states.get(k) == INVALID:
            self.states[k] = VALID

    def mark_permanently_invalid(self, k):
        self.states[k] = PERMANENTLY_INVALID

    def derive_state(self, k):
        seen_invalid = False
        for d in self.direct_dependencies(k):
            state = self.state_of(d)
            if state == PERMANENTLY_INVALID:
                self.mark_permanently_invalid(k)
                return
            seen_invalid |= state == INVALID
        if seen_invalid:
            self.invalidate(k)
        else:
            self.revalidate(k)

    def store_if_valid(self, k, value):
        if self.state_of(k) == VALID:
            if k in self.values:  # a stale value goes; the new one is stored anew
                self.take_value(k)
            self.store_value(k, value)

    def call(self, method, arguments, body):
        """One call of `method`; `body()` computes a miss, making its nested calls here."""
        k = self.get_or_insert(make_key(method.name, arguments))
        declared = [self.get_or_insert(key) for key in method.dependency_keys]
        self.register_call(k, declared)
        if self.call_stack and self.call_stack[-1][1]:
            self.record_runtime_dependency(self.call_stack[-1][0], k)
        self.call_stack.append((k, method.track))
        try:
            value = self.servable_value(k)
            if value is not MISSING:
                self.referenced.add(k)
                if k in self.method_of:
                    self.methods[self.method_of[k]].hits += 1
                return value
            self.slot(method).misses += 1
            self.method_of[k] = method.name
            value = body()
            if not method.use_cache:
                self.mark_permanently_invalid(k)
            self.derive_state(k)
            self.store_if_valid(k, value)
            return value
        finally:
            self.call_stack.pop()

    def get_cached_value(self, /, method_name, strict=True, **kwargs):
        value = self.servable_value(self.lookup(method_name, kwargs))
        if value is not MISSING:
            return value
        if strict:
            raise KeyError(f"Cannot get cached value for '{method_name}'")
        return None

    def is_cached(self, /, method_name, **kwargs):
        return self.servable_value(self.lookup(method_name, kwargs)) is not MISSING

    def update_cached_value(self, /, method_name, value, **kwargs):
        k = self.lookup(method_name, kwargs)
        if k not in self.values and k not in self.dropped:
            raise KeyError(f"Cannot update cached value for '{method_name}'")
        self.store_value(k, value)
        self.invalidate(k)
        self.revalidate(k)

    def clear_cached_value(self, /, method_name, **kwargs):
        k = self.lookup(method_name, kwargs)
        if k not in self.values and k not in self.dropped:
            raise KeyError(f"Cannot clear cached value for '{method_name}'")
        if k in self.values:
            self.take_value(k)
        self.dropped.discard(k)
        self.invalidate(k)

    def clear_cache(self):
        for k, state in self.states.items():
            if state == VALID:
                self.states[k] = INVALID
        self.values.clear()
        self.referenced.clear()
        self.dropped.clear()
        for slot in self.methods.values():
            slot.ring, slot.hand, slot.count = [], 0, 0

    def reset_cache(self):
        """Back to a new instance's cache, but for the bounds set on it."""
        self.__init__(self.methods)

    def store_loaded(self, method, value):
        """The store step of `load_cache`: the value only, within the method's bound."""
        k = self.get_or_insert(make_key(method.name, {}))
        self.slot(method)
        self.method_of[k] = method.name
        self.store_value(k, value)

    def _shown(self, k):
        return display_key(self.keys[k])

    def cached_values(self):
        return {self._shown(k): v for k, v in self.values.items()}

    def validation_state(self):
        return {self._shown(k): s for k, s in self.states.items()}

    def dependency_graph(self):
        return {
            self._shown(x): {self._shown(y) for y in members}
            for x, members in self.dependents.items()
        }
