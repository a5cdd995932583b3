#pragma once

#include <QMetaType>
#include <QString>

// Who chose a limit: the event record names it, and the timing feed's rule tells a person's limit from its own.
struct LimitSource {
    enum Kind { Click, Key, TimingFeed, OtherConsole, OtherConsolesFeed, OwnCommand };

    Kind kind = Click;
    QString name;  // the key ("F12"), the timing feed's address, or the other console's address

    // As the record names it: "click", "key F12", "timing feed 10.0.0.5:50000", "192.168.1.7", and for a limit
    // another console's feed chose "timing feed via 192.168.1.7". Empty for this console's own command come back.
    QString text() const;
    // Chosen on this console: it commands the retranslator and the other consoles.
    bool isLocal() const { return kind == Click || kind == Key || kind == TimingFeed; }
    bool isPerson() const { return kind == Click || kind == Key || kind == OtherConsole; }
    bool isTimingFeed() const { return kind == TimingFeed || kind == OtherConsolesFeed; }
};
Q_DECLARE_METATYPE(LimitSource)
