package android.widget;

import android.view.View;

public class TextView extends View {
    private final StringBuilder text = new StringBuilder();

    public final void append(CharSequence more) {
        text.append(more);
    }

    public CharSequence getText() {
        return text.toString();
    }
}
