// What a screen reader gets from a widget: its accessible name, description
// and labels, read through Qt's accessibility interface.
#pragma once

#include <QAccessible>
#include <QObject>
#include <QStringList>

namespace vorl::test {

inline QString accessibleText(QObject* object, QAccessible::Text which) {
    QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(object);
    return iface != nullptr ? iface->text(which) : QStringLiteral("<no interface>");
}

inline QString accessibleName(QObject* object) {
    return accessibleText(object, QAccessible::Name);
}

inline QString accessibleDescription(QObject* object) {
    return accessibleText(object, QAccessible::Description);
}

// The names of the objects `object` is labelled by.
inline QStringList accessibleLabels(QObject* object) {
    QStringList names;
    if (QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(object)) {
        for (const auto& [label, relation] : iface->relations(QAccessible::Label)) {
            names << label->text(QAccessible::Name);
        }
    }
    return names;
}

} // namespace vorl::test
