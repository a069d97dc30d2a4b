#include "engine/engine_object.hpp"

PyMethodDef pen_engine_methods[] = {{nullptr, nullptr, 0, nullptr}};
