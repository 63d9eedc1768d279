# The one activity of com.example.getimei: publishes the telephony device id in the system
# property ril.device_imei (the package runs as the phone user).
.class public Lcom/example/getimei/MainActivity;
.super Landroid/app/Activity;
.source "MainActivity.java"


.method public constructor <init>()V
    .locals 0
    invoke-direct {p0}, Landroid/app/Activity;-><init>()V
    return-void
.end method


.method protected onCreate(Landroid/os/Bundle;)V
    .locals 5

    invoke-super {p0, p1}, Landroid/app/Activity;->onCreate(Landroid/os/Bundle;)V
    const v0, 0x7f030000    # R.layout.activity_main
    invoke-virtual {p0, v0}, Lcom/example/getimei/MainActivity;->setContentView(I)V
    const v0, 0x7f040000    # R.id.text
    invoke-virtual {p0, v0}, Lcom/example/getimei/MainActivity;->findViewById(I)Landroid/view/View;
    move-result-object v0
    check-cast v0, Landroid/widget/TextView;

    const-string v1, "phone"
    invoke-virtual {p0, v1}, Lcom/example/getimei/MainActivity;->getSystemService(Ljava/lang/String;)Ljava/lang/Object;
    move-result-object v1
    check-cast v1, Landroid/telephony/TelephonyManager;
    invoke-virtual {v1}, Landroid/telephony/TelephonyManager;->getDeviceId()Ljava/lang/String;
    move-result-object v1

    const-string v2, "Device ID:"
    invoke-static {v2, v1}, Lcom/example/getimei/MainActivity;->line(Ljava/lang/String;Ljava/lang/String;)Ljava/lang/String;
    move-result-object v2
    invoke-virtual {v0, v2}, Landroid/widget/TextView;->append(Ljava/lang/CharSequence;)V

    # A device without an id leaves the property as it is.
    const-string v2, "ril.device_imei"
    if-eqz v1, :read_back
    invoke-static {v2, v1}, Landroid/os/SystemProperties;->set(Ljava/lang/String;Ljava/lang/String;)V

    :read_back
    invoke-static {v2}, Landroid/os/SystemProperties;->get(Ljava/lang/String;)Ljava/lang/String;
    move-result-object v3
    if-eqz v3, :no_value
    const-string v4, "ril.device_imei:"
    invoke-static {v4, v3}, Lcom/example/getimei/MainActivity;->line(Ljava/lang/String;Ljava/lang/String;)Ljava/lang/String;
    move-result-object v4
    invoke-virtual {v0, v4}, Landroid/widget/TextView;->append(Ljava/lang/CharSequence;)V
    return-void

    :no_value
    const-string v4, "null\n"
    invoke-virtual {v0, v4}, Landroid/widget/TextView;->append(Ljava/lang/CharSequence;)V
    return-void
.end method


# label + value + "\n" (a null value reads "null").
.method private static line(Ljava/lang/String;Ljava/lang/String;)Ljava/lang/String;
    .locals 2

    new-instance v0, Ljava/lang/StringBuilder;
    invoke-direct {v0}, Ljava/lang/StringBuilder;-><init>()V
    invoke-virtual {v0, p0}, Ljava/lang/StringBuilder;->append(Ljava/lang/String;)Ljava/lang/StringBuilder;
    invoke-virtual {v0, p1}, Ljava/lang/StringBuilder;->append(Ljava/lang/String;)Ljava/lang/StringBuilder;
    const-string v1, "\n"
    invoke-virtual {v0, v1}, Ljava/lang/StringBuilder;->append(Ljava/lang/String;)Ljava/lang/StringBuilder;
    invoke-virtual {v0}, Ljava/lang/StringBuilder;->toString()Ljava/lang/String;
    move-result-object v0
    return-object v0
.end method
