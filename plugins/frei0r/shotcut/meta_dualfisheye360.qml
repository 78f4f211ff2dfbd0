// The dualfisheye360 frei0r filter in Shotcut's filter list (Video), with
// its controls in ui.qml. Installed into <prefix>/share/shotcut/qml/filters/dualfisheye360.
import QtQuick
import org.shotcut.qml

Metadata {
    type: Metadata.Filter
    name: qsTr('Dual Fisheye to 360')
    keywords: qsTr('360 equirectangular stitch fisheye spherical panorama reframe flat planet', 'search keywords for the filter')
    mlt_service: 'frei0r.dualfisheye360'
    objectName: 'dualfisheye360'
    qml: 'ui.qml'
    // The view may be keyframed; the field of view is 0..1 of 180 degrees.
    keyframes {
        parameters: [
            Parameter {
                name: qsTr('Yaw')
                property: 'yaw'
                isCurve: true
                minimum: -180
                maximum: 180
            },
            Parameter {
                name: qsTr('Pitch')
                property: 'pitch'
                isCurve: true
                minimum: -90
                maximum: 90
            },
            Parameter {
                name: qsTr('Roll')
                property: 'roll'
                isCurve: true
                minimum: -180
                maximum: 180
            },
            Parameter {
                name: qsTr('Field of view')
                property: 'fov'
                isCurve: true
                minimum: 1 / 180
                maximum: 179 / 180
            }
        ]
    }
}
