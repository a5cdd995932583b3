import QtQuick 2.12
import QtQuick.Controls 2.12
import QtTest 1.12
import "../../qml"

Item {
    id: root
    width: 400
    height: 600

    // As in the window: the screen closes itself through the stack "mainAppView".
    StackView {
        id: mainAppView
        anchors.fill: parent
        initialItem: Rectangle { color: "black" }
    }

    Component {
        id: screenComponent
        TimingFeedScreen { visible: false }
    }

    UiTestCase {
        name: "TimingFeedScreen"

        function test_anUnusableAddressIsMarkedAndNotSaved() {
            var page = createTemporaryObject(screenComponent, root)
            page.loadSettings()
            mainAppView.push(page)
            tryCompare(mainAppView, "busy", false)
            var address = findItem(page, function (item) { return item.placeholderText === "не подключаться" })
            var warning = findItem(page, function (item) {
                return typeof item.text === "string" && item.text.indexOf("Адрес не подходит") === 0
            })
            verify(!warning.visible)
            address.text = "timing:0"
            verify(warning.visible)
            compareColor(warning.color, "red")
            verify(findItem(address, function (item) { return item.border && isColor(item.border.color, "red") }).visible)
            mouseClick(findByText(page, "OK"))
            compare(mainAppView.currentItem, page)
            compare(testDriver.storedKeys("timingFeed"), [])

            address.text = ""
            verify(!warning.visible)
            findItem(page, function (item) { return item.text === "Снимать ограничение при зелёном флаге" }).checked = false
            mouseClick(findByText(page, "OK"))
            tryCompare(mainAppView, "depth", 1)
            compare(timingFeed.settings(), { address: "", onYellow: "p50", onRed: "p0", onFinish: "p25",
                                             releaseOnGreen: false })
        }
    }
}
