// Holding COM objects: each is released when its holder goes, on every path.
#pragma once

#include <unknwn.h>

#include <memory>

struct ComRelease
{
    void operator()(IUnknown *object) const { object->Release(); }
};
template <typename Interface> using ComHolder = std::unique_ptr<Interface, ComRelease>;
