// lumo-flash --all: each unit's calls on a stack of its own, so that one unit's fixed pause (the
// 2.5 s after it is found, the 300 ms before the start report's reply, the 500 ms before the
// finish report) holds that unit alone, as it would with one process per unit, while the one
// event loop goes on serving the others. Still one thread: a pause hands control back to the
// loop, and the loop goes back in once the pause is over.
#pragma once

#include <functional>
#include <memory>

#include "ports/pause.h"

namespace lumo::cli {

class UnitStrand : public Pause {
  public:
    // Makes `call` on the strand's stack; returns when the call has returned or paused. Only
    // when !Paused().
    virtual void Run(std::function<void()> call) = 0;
    // A call is in a pause and has not returned yet.
    virtual bool Paused() const = 0;
    // Goes back into a paused call whose pause is over (nothing while it is not); returns when
    // the call has returned or paused again.
    virtual void Continue() = 0;
};

using StrandMaker = std::function<std::unique_ptr<UnitStrand>()>;

}  // namespace lumo::cli
