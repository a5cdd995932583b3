import QtQuick 2.0
import QtQuick.Controls 2.12

// A global limit button of the bottom bar. While checked it is grey until the retranslator reports the
// global limit that this button stands for (limValue), then green.
Button {
    id: commonButton

    property int limValue: -1

    width: 24
    height: 24
    flat: true
    checkable: true
    autoExclusive: true
    focusPolicy: Qt.NoFocus
    antialiasing: false
    display: AbstractButton.TextBesideIcon
    font.pointSize: 10

    background: Rectangle {
        border.color: "black"
        color: !commonButton.checked ? "#ffffff"
             : retranlatorState.state.globalRPMLimit === commonButton.limValue ? "green" : "#808080"
    }

    contentItem: Text {
        text: commonButton.text
        font: commonButton.font
        color: commonButton.checked ? "#ffffff" : "black"
        textFormat: Text.PlainText
        horizontalAlignment: Text.AlignHCenter
        verticalAlignment: Text.AlignVCenter
    }
}
