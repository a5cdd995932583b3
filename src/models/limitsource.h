#pragma once

#include <QMetaType>
#include <QString>

// Who chose a limit: the event record names it, and the timing feed's rule tells a person's limit from its own.
struct LimitSource {
    enum Kind { Click, Key, OtherConsole, TimingFeed, OwnCommand };

    Kind kind = Click;
    QString name;  // the key ("F12"), the other console's address, or the timing feed's address

    // As the record names it: "click", "key F12", "192.168.1.7", "timing feed 10.0.0.5:50000"; a limit another
    // console's feed chose: "timing feed via 192.168.1.7". Empty for this console's own command come back.
    QString text() const;
    bool isPerson() const { return kind == Click || kind == Key || kind == OtherConsole; }
};
Q_DECLARE_METATYPE(LimitSource)
