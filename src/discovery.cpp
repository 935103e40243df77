// Source discovery of `self.<name>()` dependencies. It goes through the interpreter's own
// `inspect`, `textwrap` and `ast` modules; nothing is cached between calls.
#include "discovery.h"

#include <Python.h>

#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "errors.h"
#include "py_ref.h"
#include "py_shorthands.h"

namespace kestrine {
namespace {

// Replaces the parser's exception with a ValueError describing it. The parser's exception
// is dropped entirely so users see one clean error rather than a chain.
void raise_parse_failure() {
    Ref parser_error = Ref::steal(PyErr_GetRaisedException());
    if (!parser_error) return;
    Ref type_name = Ref::steal(PyType_GetQualName(Py_TYPE(parser_error.get())));
    if (!type_name) return;
    Ref detail = Ref::steal(PyObject_Str(parser_error.get()));
    if (!detail) {
        PyErr_Clear();
        detail = Ref::steal(PyUnicode_FromString("<exception str() failed>"));
        if (!detail) return;
    }
    parser_error.reset();
    Ref message = Ref::steal(
        PyUnicode_FromFormat("Failed to parse source: %U: %U", type_name.get(), detail.get()));
    if (!message) return;
    Ref error = Ref::steal(PyObject_CallOneArg(PyExc_ValueError, message.get()));
    if (!error) return;
    // Set directly rather than through PyErr_SetObject, which would chain whatever
    // exception is being handled as __context__.
    PyErr_SetRaisedException(error.release());
}

// Collects `self.<name>()` calls from statements, each name once in first-seen order.
class DependencyWalker {
  public:
    explicit DependencyWalker(PyObject* ast) : ast_(ast) {}

    // Pre-order walk of `root` and everything below it. An explicit stack of child
    // iterators keeps deep trees off the C stack while visiting in the recursive order.
    bool walk(PyObject* root) {
        std::vector<Ref> stack;
        if (!visit(root, stack)) return false;
        while (!stack.empty()) {
            Ref child = Ref::steal(PyIter_Next(stack.back().get()));
            if (!child) {
                if (PyErr_Occurred()) return false;
                stack.pop_back();
                continue;
            }
            if (!visit(child.get(), stack)) return false;
        }
        return true;
    }

    std::vector<DependencySpec> found;

  private:
    // Tests `node`, then pushes the iterator over its children.
    bool visit(PyObject* node, std::vector<Ref>& stack) {
        // Node classes are looked up at every node, like the walk in Python would.
        Ref call_type = get_attr(ast_, "Call");
        if (!call_type) return false;
        Ref attribute_type = get_attr(ast_, "Attribute");
        if (!attribute_type) return false;
        Ref name_type = get_attr(ast_, "Name");
        if (!name_type) return false;

        std::string name;
        int matched =
            match_self_call(node, call_type.get(), attribute_type.get(), name_type.get(), name);
        if (matched < 0) return false;
        if (matched > 0 && seen_.insert(name).second) {
            Ref kwargs = Ref::steal(PyDict_New());
            if (!kwargs) return false;
            found.push_back(DependencySpec{std::move(name), std::move(kwargs)});
        }

        Ref children = call_attr(ast_, "iter_child_nodes", node);
        if (!children) return false;
        Ref iterator = Ref::steal(PyObject_GetIter(children.get()));
        if (!iterator) return false;
        stack.push_back(std::move(iterator));
        return true;
    }

    // 1 with `name` set for a call `self.<name>()` without arguments, 0 for anything else,
    // -1 with an exception set. The tests run in a fixed order and stop at the first miss.
    static int match_self_call(PyObject* node, PyObject* call_type, PyObject* attribute_type,
                               PyObject* name_type, std::string& name) {
        int is_type = PyObject_IsInstance(node, call_type);
        if (is_type <= 0) return is_type;
        Ref args = get_attr(node, "args");
        if (!args) return -1;
        Ref keywords = get_attr(node, "keywords");
        if (!keywords) return -1;
        Py_ssize_t count = PyObject_Length(args.get());
        if (count != 0) return count < 0 ? -1 : 0;
        count = PyObject_Length(keywords.get());
        if (count != 0) return count < 0 ? -1 : 0;

        Ref func = get_attr(node, "func");
        if (!func) return -1;
        is_type = PyObject_IsInstance(func.get(), attribute_type);
        if (is_type <= 0) return is_type;
        Ref value = get_attr(func.get(), "value");
        if (!value) return -1;
        is_type = PyObject_IsInstance(value.get(), name_type);
        if (is_type <= 0) return is_type;

        // The receiver is recognised by its spelling alone, not by the first parameter.
        Ref receiver = get_attr(value.get(), "id");
        if (!receiver) return -1;
        std::string_view receiver_text;
        if (!view_text(receiver.get(), receiver_text)) return -1;
        if (receiver_text != "self") return 0;

        Ref attr = get_attr(func.get(), "attr");
        if (!attr) return -1;
        std::string_view attr_text;
        if (!view_text(attr.get(), attr_text)) return -1;
        name.assign(attr_text);
        return 1;
    }

    PyObject* ast_;  // borrowed, alive for the walker's lifetime
    std::unordered_set<std::string> seen_;
};

// Walks the body of every top-level (async) function definition in `tree`.
bool walk_function_bodies(PyObject* ast, PyObject* tree, DependencyWalker& walker) {
    Ref function_def = get_attr(ast, "FunctionDef");
    if (!function_def) return false;
    Ref async_function_def = get_attr(ast, "AsyncFunctionDef");
    if (!async_function_def) return false;

    Ref body = get_attr(tree, "body");
    if (!body) return false;
    Ref nodes = Ref::steal(PyObject_GetIter(body.get()));
    if (!nodes) return false;
    while (Ref node = Ref::steal(PyIter_Next(nodes.get()))) {
        int is_function = PyObject_IsInstance(node.get(), function_def.get());
        if (is_function == 0)
            is_function = PyObject_IsInstance(node.get(), async_function_def.get());
        if (is_function < 0) return false;
        if (is_function == 0) continue;

        // Only the body: decorators, parameters and defaults are not part of the method's
        // own calls.
        Ref statements_list = get_attr(node.get(), "body");
        if (!statements_list) return false;
        Ref statements = Ref::steal(PyObject_GetIter(statements_list.get()));
        if (!statements) return false;
        while (Ref statement = Ref::steal(PyIter_Next(statements.get()))) {
            if (!walker.walk(statement.get())) return false;
        }
        if (PyErr_Occurred()) return false;
    }
    return !PyErr_Occurred();
}

}  // namespace

bool discover_dependencies(PyObject* func, std::vector<DependencySpec>& out) {
    Ref inspect = import_module("inspect");
    if (!inspect) return false;
    Ref source_obj = call_attr(inspect.get(), "getsource", func);
    if (!source_obj) return false;
    std::string source;
    if (!convert_text(source_obj.get(), source)) return false;
    source_obj.reset();

    Ref textwrap = import_module("textwrap");
    if (!textwrap) return false;
    Ref source_str = new_str(source);
    if (!source_str) return false;
    Ref dedented = call_attr(textwrap.get(), "dedent", source_str.get());
    if (!dedented) return false;
    Ref stripped = Ref::steal(PyObject_CallMethod(dedented.get(), "strip", nullptr));
    if (!stripped) return false;
    if (!convert_text(stripped.get(), source)) return false;

    Ref ast = import_module("ast");
    if (!ast) return false;
    Ref parse_input = new_str(source);
    if (!parse_input) return false;
    Ref parse = get_attr(ast.get(), "parse");
    if (!parse) return false;
    Ref tree = Ref::steal(PyObject_CallOneArg(parse.get(), parse_input.get()));
    if (!tree) {
        raise_parse_failure();
        return false;
    }

    DependencyWalker walker(ast.get());
    if (!walk_function_bodies(ast.get(), tree.get(), walker)) return false;
    out = std::move(walker.found);
    return true;
}

}  // namespace kestrine
