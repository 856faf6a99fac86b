#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace tracker::Front {

// The words after a subcommand, taken one option at a time. Options are
// "--name value" or "--name=value"; there is no bundling.
class Arguments {
public:
    // A mistake on the command line: the command prints it and exits with status 2.
    class UsageError : public std::runtime_error {
    public:
        using std::runtime_error::runtime_error;
    };

    explicit Arguments(std::vector<std::string> words) : words_(std::move(words)) {}

    bool empty() const { return next_ >= words_.size(); }
    const std::string& peek() const { return words_.at(next_); }

    // Takes the next word when it is exactly name.
    bool flag(const std::string& name);
    // Takes "--name value" or "--name=value" and gives the value; throws
    // UsageError when the value is missing or empty.
    std::optional<std::string> value(const std::string& name);
    // Throws UsageError naming the next word, which no option took.
    [[noreturn]] void reject() const;

private:
    std::vector<std::string> words_;
    size_t next_ = 0;
};

}  // namespace tracker::Front
