// What a long piece of work asks, now and then, to learn whether whoever
// waits for it has given up: the heap walk polls it on the walking thread.
#pragma once

namespace Orlo {

class CancelCheck {
public:
    // True once the work should stop; cheap when nothing has arrived.
    virtual bool Cancelled() = 0;

protected:
    ~CancelCheck() = default;
};

}  // namespace Orlo
