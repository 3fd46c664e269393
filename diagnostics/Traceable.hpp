// Traceable exceptions: failures that carry a tag, a code, a source location, an optional
// cause, and a message that is a Boost.Format template fed with arguments after
// construction (`throw Exc<&Tag, ExDefault>(...) % a % b;`). what() is message(), which
// renders the template on every call. Copies and clones own a clone of the cause.
//
// DIAGNOSTICS: message() and what() never throw; a template still short of arguments
// renders as the format error's text followed by the template. Feeding an argument raises
// Boost.Format's format_error when the template is ill-formed or has no place left for it.
#pragma once

#include <boost/format.hpp>

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

namespace corvo {

// Hooks called by accept(), in this order: tag, code (only when wantsCode()), message;
// for an exception with a source location first function, file and line; for one with a
// cause, included() and then the cause's own hooks.
class ExVisitor {
public:
    virtual ~ExVisitor() = default;
    virtual void tag(const char* /*text*/) {}
    virtual void message(const char* /*text*/) {}
    virtual void function(const char* /*text*/) {}
    virtual void file(const char* /*text*/) {}
    virtual void line(std::uint32_t /*number*/) {}
    virtual void included() {}
    virtual bool wantsCode() const { return false; }
    virtual void code(std::uint32_t /*number*/) {}
};

class Cloneable {
public:
    virtual ~Cloneable() = default;
    // A new heap copy of the most-derived object; the caller owns it.
    virtual Cloneable* clone() const = 0;
};

class ExVisitable {
public:
    virtual ~ExVisitable() = default;
    virtual void accept(ExVisitor& visitor) const = 0;
};

class IExTraceable : public Cloneable, public ExVisitable, public std::runtime_error {
public:
    explicit IExTraceable(const std::string& tag) : std::runtime_error(tag) {}
    virtual std::uint32_t code() const = 0;
};

// The only policy in use.
struct ExDefault {};

// The name of a failure kind; the address of a tag object makes the exception's type.
struct ExTag {
    const char* text;
};

template <class Policy> class ExTraceableBase : public IExTraceable {
public:
    ExTraceableBase(const std::string& tag, std::string message, std::uint32_t code)
        : IExTraceable(tag), message_(std::move(message)), code_(code) {}

    ExTraceableBase* clone() const override { return new ExTraceableBase(*this); }
    std::uint32_t code() const override { return code_; }
    virtual const char* message() const { return message_.c_str(); }
    void accept(ExVisitor& visitor) const override {
        visitor.tag(std::runtime_error::what());
        if (visitor.wantsCode())
            visitor.code(code_);
        visitor.message(message());
    }
    const char* what() const noexcept override { return message(); }

protected:
    std::string message_;
    std::uint32_t code_;
};

template <class Policy> class ExTaggedIncludableBase : public ExTraceableBase<Policy> {
public:
    ExTaggedIncludableBase(const std::string& tag, std::string message, std::uint32_t code,
                           const IExTraceable* cause = nullptr)
        : ExTraceableBase<Policy>(tag, std::move(message), code),
          included_(cause ? dynamic_cast<IExTraceable*>(cause->clone()) : nullptr) {}
    ExTaggedIncludableBase(const ExTaggedIncludableBase& other)
        : ExTraceableBase<Policy>(other),
          included_(other.included_ ? dynamic_cast<IExTraceable*>(other.included_->clone())
                                     : nullptr) {}
    ExTaggedIncludableBase& operator=(const ExTaggedIncludableBase&) = delete;
    ~ExTaggedIncludableBase() override = default;

    ExTaggedIncludableBase* clone() const override { return new ExTaggedIncludableBase(*this); }
    void accept(ExVisitor& visitor) const override {
        ExTraceableBase<Policy>::accept(visitor);
        if (included_) {
            visitor.included();
            included_->accept(visitor);
        }
    }
    const IExTraceable* included() const { return included_.get(); }

private:
    std::unique_ptr<IExTraceable> included_;
};

template <const ExTag* Tag, class Policy> class Exc : public ExTaggedIncludableBase<Policy> {
    using Base = ExTaggedIncludableBase<Policy>;

public:
    Exc(std::string message, std::uint32_t code, std::string function, std::string file,
        std::uint32_t line)
        : Base(Tag->text, std::move(message), code), function_(std::move(function)),
          file_(std::move(file)), line_(line) {}
    // A copy (as made by throw) keeps everything and takes the source's rendered message as
    // its message text.
    Exc(const Exc& other)
        : Base(other), format_(other.format_), formatted_(other.formatted_),
          rendered_(other.rendered_), function_(other.function_), file_(other.file_),
          line_(other.line_) {
        this->message_ = other.message();
    }
    Exc& operator=(const Exc&) = delete;
    ~Exc() override = default;

    // Feeds one argument; the first one parses the message text as the format.
    template <class T> Exc& operator%(const T& argument) {
        if (!formatted_) {
            format_ = boost::format(this->message_);
            formatted_ = true;
        }
        format_ % argument;
        return *this;
    }

    Exc* clone() const override { return new Exc(*this); }
    const char* message() const override {
        if (!formatted_)
            return this->message_.c_str();
        try {
            rendered_ = format_.str();
        } catch (const boost::io::format_error& error) {
            rendered_ = (boost::format("%1%: %2%") % error.what() % this->message_).str();
        }
        return rendered_.c_str();
    }
    void accept(ExVisitor& visitor) const override {
        visitor.function(function_.c_str());
        visitor.file(file_.c_str());
        visitor.line(line_);
        Base::accept(visitor);
    }

private:
    boost::format format_;
    bool formatted_ = false;
    mutable std::string rendered_;
    std::string function_;
    std::string file_;
    std::uint32_t line_;
};

} // namespace corvo
