#pragma once

#include <QString>

#include <stdexcept>

// The one error type of the core. `reason()` is the text that goes into the log line
// "Error in (operation) : reason" written at the edge of each user-facing operation.
class Exception : public std::runtime_error {
public:
    explicit Exception(const QString& reason) : std::runtime_error(reason.toStdString()) {}
    QString reason() const { return QString::fromStdString(what()); }
};
