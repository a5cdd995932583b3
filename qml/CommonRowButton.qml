import QtQuick 2.0
import QtQuick.Controls 2.12
import QtQuick.Layouts 1.12

// A per-transponder limit button inside a row of the live list. While checked it is grey until the
// row's transponder reports the wanted limit (the row's limitOk role), then green; red while blinkRed is set.
Button {
    id: commonRowButton

    property bool blinkRed: false

    Layout.preferredWidth: 48
    Layout.preferredHeight: 48
    flat: true
    checkable: true
    autoExclusive: true
    focusPolicy: Qt.NoFocus
    antialiasing: false
    display: AbstractButton.TextBesideIcon
    font.pointSize: 10

    background: Rectangle {
        anchors.fill: parent
        border.color: "black"
        color: !commonRowButton.checked ? "white" : limitOk ? "green" : commonRowButton.blinkRed ? "red" : "grey"
    }

    contentItem: Text {
        anchors.fill: parent
        text: commonRowButton.text
        font: commonRowButton.font
        color: commonRowButton.checked ? "#ffffff" : "black"
        textFormat: Text.PlainText
        horizontalAlignment: Text.AlignHCenter
        verticalAlignment: Text.AlignVCenter
    }
}
