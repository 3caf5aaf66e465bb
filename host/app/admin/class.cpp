// bbshost class: account classes and their day limits (-1: none).
#include <iostream>
#include <limits>

#include "app/admin/admin.h"
#include "bbs/database.h"
#include "bbs/host.h"
#include "text/ascii.h"

namespace app::admin {

namespace {

using enum Option::Kind;

const std::vector<Option> kNameAndDays = {
    {text, "NAME", "Class name", kRequired},
    {number, "--days", "Day limit, -1 for none", kRequired},
};

// Writes the day limit of the class NAME; `added`: of a new class (or one
// written over), else of one that exists.
int put_class(const Call& call, bool added) {
    bbs::Host& host = call.host();
    const std::string& name = call.args().text("NAME");
    const std::optional<int64_t> days = call.args().number("--days");
    std::string error;
    if (!in_range(days, -1, std::numeric_limits<int16_t>::max(), "days", &error)) return bad(error);
    if (added && (name.empty() || name.size() >= HOST_CLSSIZ))
        return bad("class name \"" + name + "\" must have 1 to " + std::to_string(HOST_CLSSIZ - 1) +
                   " characters");
    if (!host.database().put_class(name, static_cast<int16_t>(*days), &error))
        return failed((added ? "cannot add class \"" : "cannot change class \"") + name + "\": " + error);
    host.log("admin: class " + name + (added ? " added" : " changed"));
    std::cout << (added ? "added class " : "updated class ") << name << std::endl;
    return kOk;
}

int class_add(const Call& call) { return put_class(call, true); }

int class_set(const Call& call) {
    const std::string& name = call.args().text("NAME");
    if (!call.host().database().class_days(name))
        return bad("no class named \"" + name + "\" (add it with: class add)");
    return put_class(call, false);
}

// One line per class in key order, as a module walks the class database:
// name, tab, day limit.
int class_list(const Call& call) {
    HostClass record{};
    HostClass key{};
    auto* file = call.host().database().classes();
    for (int16_t found = bbs::datafile::acquire(file, &record, &key, 0, DFA_GREATER_EQUAL); found;
         found = bbs::datafile::acquire(file, &record, &key, 0, DFA_GREATER)) {
        std::cout << text::field(record.name) << '\t'
                  << record.days << '\n';
        key = record;
    }
    std::cout.flush();
    return kOk;
}

}  // namespace

const Noun kClass{"class", "Account classes", {
    {"add", "Add or change a class", kNameAndDays, Needs::host, class_add},
    {"set", "Change the day limit of a class", kNameAndDays, Needs::host, class_set},
    {"list", "Every class and its day limit (-1: none), tab-separated", {}, Needs::host, class_list},
}};

}  // namespace app::admin
