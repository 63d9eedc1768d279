package android.util;

/** Log lines on standard output; like the device, a null message is refused. */
public final class Log {
    private static int println(char level, String tag, String msg) {
        if (msg == null) {
            throw new NullPointerException("println needs a message");
        }
        System.out.println("log " + level + "/" + tag + ": " + msg);
        return 0;
    }

    public static int i(String tag, String msg) {
        return println('I', tag, msg);
    }

    public static int e(String tag, String msg) {
        return println('E', tag, msg);
    }

    public static int e(String tag, String msg, Throwable tr) {
        return println('E', tag, msg + '\n' + tr);
    }
}
