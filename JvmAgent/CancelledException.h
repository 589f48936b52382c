// Thrown when the client cancels a running snapshot.
#pragma once

#include <exception>
#include <string>

namespace Orlo {

class CancelledException : public std::exception {
public:
    explicit CancelledException(const char* message);
    ~CancelledException() override;
    const char* what() const noexcept override;

private:
    std::string message;
};

}  // namespace Orlo
