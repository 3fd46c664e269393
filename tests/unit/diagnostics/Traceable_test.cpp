// The traceable exceptions: the text each one renders, what copies and clones own, and the
// order in which a visitor hears about a chain of causes. One fed with every argument and
// thrown is shown end to end (siblings-*: "Execution of ... failed with return code N.").
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

struct Recorder : corvo::ExVisitor {
    explicit Recorder(bool code) : wants_code(code) {}
    void tag(const char* text) override { calls += std::string("tag ") + text + "|"; }
    void message(const char* text) override { calls += std::string("message ") + text + "|"; }
    void function(const char* text) override { calls += std::string("function ") + text + "|"; }
    void file(const char* text) override { calls += std::string("file ") + text + "|"; }
    void line(std::uint32_t number) override { calls += "line " + std::to_string(number) + "|"; }
    void included() override { calls += "included|"; }
    bool wantsCode() const override { return wants_code; }
    void code(std::uint32_t number) override { calls += "code " + std::to_string(number) + "|"; }
    bool wants_code;
    std::string calls;
};

TEST(Traceable, VisitorHearsLocationTagCodeMessageThenTheCause) {
    const Failed fed = failure(2);
    const Includable middle("Middle", "middle", 3, &fed);
    const Includable outer("Outer", "outer", 2, &middle);
    Recorder with_code(true), without_code(false);
    outer.accept(with_code);
    fed.accept(without_code);
    const std::string location = "function void f()|file lib/f|line 76|";
    const std::string chain = "tag Outer|code 2|message outer|included|"
                              "tag Middle|code 3|message middle|included|";
    EXPECT_EQ(with_code.calls,
              chain + location + "tag Test::ExFailed|code 30|message " + rendered + "|");
    EXPECT_EQ(without_code.calls, location + "tag Test::ExFailed|message " + rendered + "|");
}

} // namespace
