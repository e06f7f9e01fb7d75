package app;

/**
 * Key injection on Windows, implemented natively in VelloranLib2.dll.
 *
 * <p>The library must be loaded before the first call, for example with {@code
 * System.loadLibrary("VelloranLib2")} and the DLL's folder on {@code java.library.path}.
 */
public final class WindowsFuncJNI {
    private WindowsFuncJNI() {}

    public static native void doMediaVolumeDown();

    public static native void doMediaVolumeUp();

    public static native void doMediaVolumeMute();

    public static native void doMediaNextTrack();

    public static native void doMediaPreviousTrack();

    public static native void doMediaStop();

    public static native void doMediaPlayPause();

    public static native void doComputerSleep();

    /**
     * Presses one key.
     *
     * @param keyCode Windows virtual-key code 1 to 254; codes from 0x80 up are passed as the byte with the
     *     same bits, e.g. {@code (byte) 0xAD}
     */
    public static native void doKeyPressDown(byte keyCode);

    /**
     * Releases one key, whether or not it was pressed through {@link #doKeyPressDown}.
     *
     * @param keyCode Windows virtual-key code, as for {@link #doKeyPressDown}
     */
    public static native void doKeyPressUp(byte keyCode);
}
