#pragma once
// Messages to the operator, and the abort that ends the current action.
//
// An action (a click, a focus change, a menu entry) ends early by throwing
// dotz::Abort after its message has been shown. Qt must never see an exception:
// TApplication::notify ends an aborted action silently there, and shows any other
// error (reportException).
#include "toolkit_api.h"

#include <QString>

#include <exception>
#include <functional>
#include <string_view>

namespace dotz {

enum class MessageKind { Error, Warning, Information };

// How messages reach the operator: modal message boxes unless replaced (tests
// record them). Returns the previous sink; an empty sink restores the boxes.
using MessageSink = std::function<void(MessageKind, const QString&)>;
DOTZ_TOOLKIT_API MessageSink setMessageSink(MessageSink sink);
DOTZ_TOOLKIT_API void showMessage(MessageKind kind, const QString& text);

// Shows a module text (Windows-1252) as an error. With abort set it does not
// return: it throws dotz::Abort, which ends the action without a second message.
DOTZ_TOOLKIT_API void ShowError(std::string_view cp1252Text, bool abort);
// The same for a text that is already UTF-8 (connection and core errors).
DOTZ_TOOLKIT_API void ShowErrorUtf8(std::string_view utf8Text, bool abort);
DOTZ_TOOLKIT_API void ShowInformation(std::string_view cp1252Text);

// True for an empty or all-blank text. A date edit gives an empty Text() while no
// date is typed in it, so the same test serves both.
DOTZ_TOOLKIT_API bool IsBlank(std::string_view text);
DOTZ_TOOLKIT_API bool IsBlank(const QString& text);

// For the places where Qt calls into our code: an abort ends there silently,
// anything else is shown as an error. Never throws.
DOTZ_TOOLKIT_API void reportException(std::exception_ptr error) noexcept;

} // namespace dotz
