// Controls of the dualfisheye360 filter: the MLT properties are the frei0r
// parameter names; angles in degrees.
import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Shotcut.Controls as Shotcut

Item {
    width: 350
    height: 250

    function setControls() {
        calibration.text = filter.get('calibration')
        yaw.value = filter.getDouble('yaw')
        pitch.value = filter.getDouble('pitch')
        roll.value = filter.getDouble('roll')
        colorMatch.checked = filter.get('color_match') !== '0'
        stereo.checked = filter.get('layout') === 'stereo'
    }

    Component.onCompleted: {
        if (filter.isNew) {
            filter.set('yaw', 0)
            filter.set('pitch', 0)
            filter.set('roll', 0)
            filter.set('color_match', 1)
            filter.set('layout', 'stitch')
        }
        // The clip's own calibration where none is typed in.
        if (producer.resource)
            filter.set('clip', producer.resource)
        setControls()
    }

    GridLayout {
        anchors.fill: parent
        anchors.margins: 8
        columns: 2

        Label { text: qsTr('Calibration') }
        TextField {
            id: calibration
            Layout.fillWidth: true
            placeholderText: qsTr("the clip's own")
            onEditingFinished: filter.set('calibration', text)
        }
        Label { text: qsTr('Yaw') }
        Shotcut.SliderSpinner {
            id: yaw
            minimumValue: -180
            maximumValue: 180
            decimals: 1
            suffix: ' °'
            onValueChanged: filter.set('yaw', value)
        }
        Label { text: qsTr('Pitch') }
        Shotcut.SliderSpinner {
            id: pitch
            minimumValue: -90
            maximumValue: 90
            decimals: 1
            suffix: ' °'
            onValueChanged: filter.set('pitch', value)
        }
        Label { text: qsTr('Roll') }
        Shotcut.SliderSpinner {
            id: roll
            minimumValue: -180
            maximumValue: 180
            decimals: 1
            suffix: ' °'
            onValueChanged: filter.set('roll', value)
        }
        Label {}
        CheckBox {
            id: colorMatch
            text: qsTr("Match the lenses' colour")
            onClicked: filter.set('color_match', checked ? 1 : 0)
        }
        Label {}
        CheckBox {
            id: stereo
            text: qsTr('One panorama per lens')
            onClicked: filter.set('layout', checked ? 'stereo' : 'stitch')
        }
        Item { Layout.fillHeight: true }
    }
}
