#pragma once

#include <gtest/gtest.h>

#include <QObject>
#include <QString>

namespace signposter::ui {

// A component of a window, found by its object name as the window gives it.
template <typename T>
T* Part(const QObject& window, const char* name) {
    T* part = window.findChild<T*>(QString::fromLatin1(name));
    if (!part)
        ADD_FAILURE() << "no " << name << " of that type in the window";
    return part;
}

}  // namespace signposter::ui
