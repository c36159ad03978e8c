#pragma once

// Root of the class-level utility classes: they have class methods only and are never
// instantiated.
class KORVAL_Base {
protected:
    KORVAL_Base() = delete;
};
