#pragma once

// The keyboard accelerators of captions ("&OK" has "o"), to find two controls of one window
// that answer the same Alt key.
#include <QString>
#include <QStringList>

// Each caption's accelerator letter, lower case, in the order of the captions.
inline QString AcceleratorKeys(const QStringList& captions) {
    QString keys;
    for (const QString& caption : captions) {
        const qsizetype at = caption.indexOf(QLatin1Char('&'));
        if (at >= 0 && at + 1 < caption.size()) keys += caption[at + 1].toLower();
    }
    return keys;
}

// The letters that more than one caption has; empty when every key is its own.
inline QString ClashingKeys(const QStringList& captions) {
    const QString keys = AcceleratorKeys(captions);
    QString clashes;
    for (const QChar key : keys)
        if (keys.count(key) > 1 && !clashes.contains(key)) clashes += key;
    return clashes;
}
