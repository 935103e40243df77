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

    def __init__(self, name, dependencies=(), use_cache=True, track=False):
        self.name = name
        self.dependency_keys = [make_key(dep, kwargs) for dep, kwargs in dependencies]
        self.use_cache = use_cache
        self.track = track


class InstanceModel:
    def __init__(self):
        self.ids = {}  # key tuple -> KeyId (dict lookup: hash, then identity or ==)
        self.keys = []  # KeyId -> the first registered key tuple
        self.values = {}
        self.states = {}
        self.dependents = {}  # KeyId -> set of KeyIds that depend on it
        self.call_stack = []  # (KeyId, track_runtime_dependencies)

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
            self.values[k] = value

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
                return value
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
        if k not in self.values:
            raise KeyError(f"Cannot update cached value for '{method_name}'")
        self.values[k] = value
        self.invalidate(k)
        self.revalidate(k)

    def clear_cached_value(self, /, method_name, **kwargs):
        k = self.lookup(method_name, kwargs)
        if k not in self.values:
            raise KeyError(f"Cannot clear cached value for '{method_name}'")
        del self.values[k]
        self.invalidate(k)

    def clear_cache(self):
        for k, state in self.states.items():
            if state == VALID:
                self.states[k] = INVALID
        self.values.clear()

    def reset_cache(self):
        """Back to a new instance's cache; refused while a decorated call runs."""
        if self.call_stack:
            raise RuntimeError("Already borrowed")
        self.__init__()

    def store_loaded(self, method_name, value):
        """The store step of `load_cache`: the value only, no state change."""
        self.values[self.get_or_insert(make_key(method_name, {}))] = value

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
