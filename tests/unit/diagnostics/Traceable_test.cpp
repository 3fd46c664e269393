// The traceable exceptions: the text each one renders and what copies and clones own. One fed
// with every argument and thrown is shown end to end (siblings-*: "Execution of ... failed
// with return code N."); the tool has no visitor of a chain of causes, and none is tested.
#include "diagnostics/Traceable.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <typeinfo>

namespace {

using Plain = corvo::ExTraceableBase<corvo::ExDefault>;
using Includable = corvo::ExTaggedIncludableBase<corvo::ExDefault>;
const corvo::ExTag failed{"Test::ExFailed"};
using Failed = corvo::Exc<&failed, corvo::ExDefault>;

const std::string format = "Execution of %1% failed with return code %2%.";
const std::string rendered = "Execution of /bin/x failed with return code 3.";
const std::string too_few =
    "boost::too_few_args: format-string referred to more arguments than were passed: ";

Failed failure(int arguments) {
    Failed error(format, 30, "void f()", "lib/f", 76);
    if (arguments > 0)
        error % "/bin/x";
    if (arguments > 1)
        error % 3;
    return error;
}

TEST(Traceable, RendersItsOwnMessageAndClonesKeepTypeAndText) {
    const Plain plain("Tag", "plain %1%", 1);
    const Failed unfed = failure(0), short_of_one = failure(1), fed = failure(2);
    const Failed short_copy(short_of_one);
    const Includable outer("Outer", "outer", 2, &fed);
    // Each copy owns a clone of the cause, which must outlive the original.
    const Includable outer_copy(*std::make_unique<Includable>(outer));
    const struct {
        const char* name;
        const corvo::IExTraceable& error;
        const std::type_info& type;
        std::string what;
        std::string clone_what = {}; // when not the same
    } cases[] = {
        {"plain: the message, not the tag", plain, typeid(Plain), "plain %1%"},
        {"with a cause: its own message", outer, typeid(Includable), "outer"},
        {"the cause of a copy", *outer_copy.included(), typeid(Failed), rendered},
        {"no argument fed", unfed, typeid(Failed), format},
        // A copy (as thrown) or a clone takes the source's text as its template and is still
        // one short: each generation prefixes the format error once more.
        {"one argument short", short_of_one, typeid(Failed), too_few + format,
         too_few + too_few + format},
        {"copy of one short", short_copy, typeid(Failed), too_few + too_few + format,
         too_few + too_few + too_few + format},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.error.what(), c.what);
        EXPECT_EQ(typeid(c.error), c.type);
        const std::unique_ptr<corvo::Cloneable> clone(c.error.clone());
        EXPECT_EQ(typeid(*clone), c.type);
        EXPECT_EQ(dynamic_cast<const corvo::IExTraceable&>(*clone).what(),
                  c.clone_what.empty() ? c.what : c.clone_what);
    }
}

} // namespace
