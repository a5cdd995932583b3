import QtQuick 2.12
import QtQuick.Window 2.12

// A root document whose root object cannot be created: it uses a type that does not exist.
Window {
    visible: true
    width: 400
    height: 600

    NoSuchComponent {
    }
}
