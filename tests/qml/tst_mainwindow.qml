import QtQuick 2.12
import QtQuick.Controls 2.12
import QtTest 1.12

// The root document as the console loads it: a window of its own with the menu and the screen stack.
UiTestCase {
    id: testCase
    name: "MainWindow"

    property var window: null

    function stack() {
        return findItem(window.contentItem, function (item) { return item.depth !== undefined })
    }
    function settingsAction() {
        return window.menuBar.menuAt(0).actionAt(0)
    }
    // The hidden RPM fields of the settings screen, in order: "p25", "p50".
    function rpmField(n) {
        var group = findItem(stack().currentItem, function (item) {
            return item.title === "Параметры ограничения оборотов"
        })
        var fields = []
        findItem(group, function (item) {
            if (item.placeholderText !== undefined)
                fields.push(item)
            return false
        })
        return fields[n]
    }
    function openSettings() {
        settingsAction().trigger()
        tryCompare(stack(), "busy", false)
        compare(stack().depth, 2)
    }

    function init() {
        testDriver.resetRpmSettings()
        window = createTemporaryObject(Qt.createComponent("../../qml/main.qml"), testCase)
        verify(window)
        tryCompare(window, "visible", true)
        waitForRendering(window.contentItem)
    }

    function test_window() {
        compare(window.width, 400)
        compare(window.height, 600)
        compare(window.minimumWidth, 400)
        compareColor(window.color, "#000000")
        compare(window.title, "REROD Quick")
        compare(window.menuBar.font.pointSize, 12)
        var menu = window.menuBar.menuAt(0)
        compare(menu.title, "Параметры")
        compare(menu.font.pointSize, 12)
        compare(settingsAction().text, "Настройки")
        compare(menu.actionAt(1).text, "Хронометраж")
        compare(stack().depth, 1)
        compare(stack().width, 400)
        compare(stack().y, 0)
        verify(stack().currentItem.height > 0)
        // The main screen: its bottom bar carries the global buttons.
        verify(findItem(stack().currentItem, function (item) { return item.text === "RESET" }))
    }

    function test_settingsOpenWithStoredValuesAndOkCloses() {
        appSettings.updateSettings("rpmSettings", { p25RpmValue: 2600, p50RpmValue: 3300 })
        openSettings()
        var page = stack().currentItem
        verify(page.loadSettings !== undefined)
        compare(rpmField(0).text, "2600")
        compare(rpmField(1).text, "3300")
        mouseClick(findItem(page, function (item) { return item.text === "OK" }))
        tryCompare(stack(), "busy", false)
        compare(stack().depth, 1)
        verify(!page.visible)
        compare(testDriver.storedValue("rpmSettings/p25RpmValue"), "2600")
        compare(testDriver.storedType("rpmSettings/p25RpmValue"), "QString")
        compare(testDriver.storedValue("rpmSettings/p50RpmValue"), "3300")
    }

    function test_everyOpeningReloadsTheStoredValues() {
        openSettings()
        compare(rpmField(0).text, "2300")
        rpmField(0).text = "1234"
        mouseClick(findItem(stack().currentItem, function (item) { return item.text === "Отмена" }))
        tryCompare(stack(), "busy", false)
        compare(stack().depth, 1)
        openSettings()
        compare(rpmField(0).text, "2300", "not the text left at the previous visit")
    }

    function test_mainScreenKeepsShowingLiveData() {
        openSettings()
        var mainScreen = stack().get(0)
        testDriver.mergeLinkState({ isOnline: true, ipAddress: "192.168.77.50", globalRPMLimit: 10000 })
        verify(findItem(mainScreen, function (item) { return item.text === "Контроллер: ок, 192.168.77.50" }))
        mouseClick(findItem(stack().currentItem, function (item) { return item.text === "Отмена" }))
        tryCompare(stack(), "busy", false)
        compare(stack().currentItem, mainScreen)
        testDriver.resetLinkState()
    }
}
